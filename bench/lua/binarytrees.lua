-- Allocation of many short-lived binary trees and one long-lived tree.
local function make(d)
  if d == 0 then return {} end
  d = d - 1
  return {make(d), make(d)}
end

local function check(t)
  if t[1] then return 1 + check(t[1]) + check(t[2]) end
  return 1
end

local maxdepth = 14
local long = make(maxdepth)
local total = 0
for d = 4, maxdepth, 2 do
  local iters = 1 << (maxdepth - d + 4)
  local c = 0
  for _ = 1, iters do c = c + check(make(d)) end
  assert(c == iters * ((1 << (d + 1)) - 1), "depth " .. d)
  total = total + c
end
assert(check(long) == (1 << (maxdepth + 1)) - 1)
print(total)
