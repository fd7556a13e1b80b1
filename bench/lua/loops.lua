-- Numeric loops: integer and float arithmetic, bitwise operators, branches.
local acc, f = 0, 0.0
for i = 1, 6000000 do
  local x = i * 3 + (i >> 2)
  if x % 7 == 3 then acc = acc + (x ~ i) else acc = acc - (x & 0xff) end
  f = f + i / 3.0
end
print(acc, math.floor(f))
