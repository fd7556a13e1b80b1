-- Closures and upvalues: counters, adders, a small combinator pipeline.
local function counter()
  local n = 0
  return function(k) n = n + (k or 1) return n end
end
local function compose(f, g) return function(x) return f(g(x)) end end
local total = 0
for round = 1, 200 do
  local c = counter()
  local add = function(x) return x + round end
  local dbl = function(x) return x * 2 end
  local h = compose(add, compose(dbl, add))
  for i = 1, 5000 do total = total + h(i) + c() end
end
print(total)
