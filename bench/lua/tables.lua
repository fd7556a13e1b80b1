-- Table work: array fill and scan, hash keys, nested records, removal.
local sum = 0
for round = 1, 20 do
  local t = {}
  for i = 1, 50000 do t[i] = i * round end
  for i = 1, #t do sum = sum + t[i] end
  local h = {}
  for i = 1, 20000 do h["k" .. (i % 5000)] = i end
  for k, v in pairs(h) do sum = sum + v end
  local recs = {}
  for i = 1, 10000 do recs[i] = {id = i, x = i * 0.5, tag = i % 3} end
  for i = 1, #recs do local r = recs[i] if r.tag == 1 then sum = sum + r.id end end
  for i = 1, 2000 do table.remove(t) end
  table.insert(t, 1, 0)
end
print(sum)
