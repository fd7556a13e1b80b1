-- Calls and returns of every kind: recursion, varargs, tail calls, closures
-- and upvalues, methods found through __index tables and functions.
local seen = {}
local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end
local function count(...) return select('#', ...) end
local function spread(n, ...) if n == 0 then return ... end return spread(n - 1, n, ...) end
local function loop(n, acc) if n == 0 then return acc end return loop(n - 1, acc + n) end
local function counter()
  local c = 0
  return function(k) c = c + (k or 1) return c end
end
local Base = {}
Base.__index = Base
function Base.new(v) return setmetatable({v = v}, Base) end
function Base:get() return self.v end
local Mid = setmetatable({}, {__index = Base})
Mid.__index = Mid
local Leaf = setmetatable({}, {__index = function(t, k) return Mid[k] end})
Leaf.__index = Leaf
local acc = 0
local c = counter()
for i = 1, 60 do
  acc = acc + fib(8) + count(spread(i % 9)) + loop(i, 0) + c(i)
  local o = setmetatable({v = i}, i % 2 == 0 and Leaf or Mid)
  acc = acc + o:get() + Base.new(i):get()
  if i % 10 == 0 then seen[#seen + 1] = cycles() end
end
local function noret() end
local function oneret() return 1 end
for i = 1, 200 do noret() acc = acc + oneret() end
return acc, table.concat(seen, " ")
