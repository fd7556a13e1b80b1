-- Allocation (the allocator charges the count), the table library's own
-- charges, constructors of every size, and collections with finalizers that
-- run Lua code.
local log = {}
local fin = 0
local keep = {}
for round = 1, 12 do
  local t = {}
  for i = 1, 40 do t[i] = {i, i * 2, x = i, y = "s" .. i} end
  local big = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
               a = 1, b = 2, c = 3, d = 4, e = 5}
  local packed = table.pack(table.unpack(t[round]))
  table.insert(t, 1, big)
  table.insert(t, "tail")
  table.remove(t, 3)
  table.remove(t)
  table.move(t, 1, 10, 20)
  keep[round % 3] = t
  setmetatable({}, {__gc = function(o)
    local s = 0
    for i = 1, 50 do s = s + i end
    fin = fin + s
  end})
  if round % 4 == 0 then collectgarbage() end
  log[#log + 1] = #t .. ":" .. packed.n .. ":" .. table.concat(big, "", 1, 5)
  spend(round * 13)
end
collectgarbage()
local parts = {}
for i = 1, 300 do parts[i] = tostring(i) end
local s = table.concat(parts, ",")
return fin, #s, table.concat(log, " "), cycles() > 0
