-- hooks see every call and return, whether the loop or the core enters the
-- function
local function depth(n) if n == 0 then return 0 end return 1 + depth(n - 1) end
local function tdepth(n, acc) if n == 0 then return acc end return tdepth(n - 1, acc + 1) end
local function three(a, b, c) return a, b, c end
local function tail3(...) return three(...) end
local calls, returns, tails = 0, 0, 0
debug.sethook(function(ev)
  if ev == "call" then calls = calls + 1
  elseif ev == "tail call" then tails = tails + 1
  else returns = returns + 1 end
end, "cr")
local r = depth(20) + tdepth(20, 0) + select('#', tail3(1, 2))
debug.sethook()
print(r, calls, returns, tails)
