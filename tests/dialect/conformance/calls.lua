-- Lua calls and tail calls the loop enters itself, and the cases it leaves to
-- the core: missing and extra arguments, varargs, deep stacks, __call
local function three(a, b, c) return a, b, c end
local function tail3(...) return three(...) end
local function tail1(x) return three(x) end
local function tailmore(x) return three(x, x, x, x, x) end
print(three(), three(1), three(1, 2, 3, 4))
print(tail1(7), tailmore(8))
print(tail3(), tail3(1), tail3(1, 2, 3, 4))
print((three(5, 6)), select('#', three()), select('#', tail1()))
-- missing arguments are nil even where an earlier frame left values
local function clobber() local a, b, c, d, e, f = 1, 2, 3, 4, 5, 6 return a + f end
local function probe(a, b, c) return c end
local function tprobe(a) return probe(a) end
for _ = 1, 2 do
  do local x = clobber() end
  do local y = probe(1) io.write(tostring(y), " ") end
  do local x = clobber() end
  do local y = tprobe(1) io.write(tostring(y), " ") end
end
print()

-- a callee's frame past the stack's end: the stack grows on the way down
local function depth(n) if n == 0 then return 0 end return 1 + depth(n - 1) end
local function tdepth(n, acc) if n == 0 then return acc end return tdepth(n - 1, acc + 1) end
local function wide(n, ...)
  local a, b, c, d, e, f, g, h, i, j, k, l, m, o, p, q = n, ...
  if n == 0 then return select('#', ...) end
  return wide(n - 1, a, b, c, d, e, f, g, h, i, j, k, l, m, o, p, q) + 0
end
print(depth(15000), tdepth(300000, 0), wide(200))
print(pcall(function() local function inf(n) return 1 + inf(n) end return inf(1) end) == false)

-- upvalues closed by a tail call; a tail call from a vararg function
local function mk(n) local v = n return function() return v end end
local function closer(n) local x = n * 2 local f = function() return x end return mk(f()) end
local function vtail(...) local n = select('#', ...) return depth(n) end
print(closer(21)(), vtail(1, 2, 3), vtail())

-- not Lua functions: __call, native functions, in calls and tail calls
local callable = setmetatable({}, {__call = function(self, a, b) return "called", a, b end})
local function tcall(a) return callable(a) end
local function tnative(s) return string.upper(s) end
print(callable(1, 2), tcall(3), tnative("abc"), math.max(3, 9, 4))
