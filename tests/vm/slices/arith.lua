-- Tight loops of cheap and dear instructions, taken and untaken jumps, and
-- the count as native code sees it between them.
local seen = 0
local s, f = 0, 0.5
for i = 1, 3000 do
  s = s + i
  s = s ~ (i << 3)
  f = f * 1.0001 + i / 7
  if i % 3 == 0 then s = s - 1 elseif i % 5 == 0 then s = -s end
  local q = i // 4 + i % 9
  if q > 100 and s < 0 then s = s | 1 end
  if i % 97 == 0 then seen = seen + cycles() end
end
local x = 0
while x < 5000 do x = x + 3 end
repeat x = x - 7 until x < 0
return s, string.format("%.6f", f), x, seen, 7 // 0, -7 % 0
