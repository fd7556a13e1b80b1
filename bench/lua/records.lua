-- A store of records kept for the whole run, each a table holding its id and
-- a short name made from a number ("r" .. id), while a loop makes a small
-- table at every step, so that every collection cycle walks the records again.
-- Each name is made by a concatenation, which first makes a string of the
-- number and drops it: the names lie among freed strings of their size.
local N = 150000
local store = {}
for id = 1, N do store[id] = {id, "r" .. id} end

local sum = 0
for k = 1, 1500000 do
  local step = {k % N + 1}
  sum = sum + store[step[1]][1]
end
local long = 0
for id = 1, N do if #store[id][2] == 7 then long = long + 1 end end
-- as the same loops written apart (in Python) sum and count them
assert(sum == 112500750000 and long == 50001, sum .. " " .. long)
print(sum, long)
