-- The nested table the orb benchmarks write and read, built the same way in both Lua
-- builds: 20,000 records of numbers, strings and small tables.
local t = {}
for i = 1, 20000 do
  t[i] = {
    id = i,
    name = "item" .. i,
    pos = {x = i * 0.5, y = -i / 4, z = i % 17},
    tags = {"a" .. (i % 7), "b" .. (i % 11), "quote\"d"},
    on = i % 3 == 0,
  }
end
t.meta = {title = "bench", ["key with space"] = 1, [2.5] = "float key"}
return t
