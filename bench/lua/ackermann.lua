-- Ackermann's function: deep, narrow recursion.
local function ack(m, n)
  if m == 0 then return n + 1 end
  if n == 0 then return ack(m - 1, 1) end
  return ack(m - 1, ack(m, n - 1))
end

local s = 0
for _ = 1, 8 do
  for n = 1, 7 do
    local v = ack(3, n)
    assert(v == 2 ^ (n + 3) - 3, "ack(3, " .. n .. ")")
    s = s + v
  end
  assert(ack(2, 500) == 1003)
end
print(s)
