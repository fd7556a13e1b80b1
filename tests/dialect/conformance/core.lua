-- closures, varargs, integer/float rules, goto
local function counter()
  local n = 0
  return function(k) n = n + (k or 1) return n end
end
local c1, c2 = counter(), counter()
print(c1(), c1(5), c2(), c1())

local function va(...)
  local t = table.pack(...)
  return select('#', ...), t.n, (select(2, ...)), ...
end
print(va(1, nil, 3, nil))
print((va()))

print(7 // 2, -7 // 2, 7 % -3, -7 % 3, 7.5 // 2, 2^53, 1 / 0, -1 / 0, 3 / 2)
print(math.maxinteger + 1 == math.mininteger, math.type(1), math.type(1.0), math.type("1"))
print(1 == 1.0, 0x10, 0xA.8p1, 1e2, 10 // 0.0, -(0 / 0) ~= -(0 / 0))
print(5 & 3, 5 | 3, 5 ~ 3, ~0, 1 << 63, 1 << 64, -1 >> 1, "10" + 1, "3" * "4")
print(string.format("%d %5.2f %q %s %x", 42, 3.14159, "a\nb", nil, 255))
print(math.tointeger(3.0), math.tointeger(3.5), tostring(1e15), tostring(2^63), 2^63 == math.maxinteger + 1.0)

for i = 1, 3 do
  for j = 1, 3 do
    if j == 2 then goto continue end
    io.write(i, ":", j, " ")
    ::continue::
  end
end
print()
do
  local k = 0
  ::top::
  k = k + 1
  if k < 3 then goto top end
  print("k", k)
end

for i = 10, 1, -3 do io.write(i, " ") end
for i = 1.0, 2.0, 0.5 do io.write(i, " ") end
print()
local t = {}
for i = 1, 5 do t[#t + 1] = function() return i end end
print(t[1](), t[5]())
