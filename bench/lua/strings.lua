-- String work: building, formatting, searching, substitution.
local total = 0
for round = 1, 30 do
  local parts = {}
  for i = 1, 5000 do parts[#parts + 1] = string.format("%d:%s", i, tostring(i * round)) end
  local s = table.concat(parts, ",")
  total = total + #s
  local n = 0
  for a, b in s:gmatch("(%d+):(%d+)") do n = n + #a + #b end
  total = total + n
  local r = s:gsub("%d%d%d", "x")
  total = total + #r + (s:find("4999:", 1, true) or 0)
  local u = s:sub(1, 1000):upper():lower():rep(3)
  total = total + #u + u:byte(10)
end
print(total)
