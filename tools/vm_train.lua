-- The workload the bytecode loop is profiled on at build time (the build
-- compiles the loop a second time, laid out for what this runs most). It is
-- kept apart from bench/lua, whose programs measure the result: a mix of what
-- programs on the workstation do, in small pieces. It checks what it computes,
-- so a miscompiled loop fails the build rather than being profiled.
local checks = 0
local function check(got, want, what)
  if got ~= want then error(what .. ": got " .. tostring(got) .. ", want " .. tostring(want)) end
  checks = checks + 1
end

-- Integer and float arithmetic, bitwise operators, numeric and while loops.
do
  local h, x = 0, 1.5
  for i = 1, 300000 do
    h = (h * 31 + (i ~ (i >> 3))) & 0xffffff
    if i % 5 == 0 then h = h - (i // 7) elseif i % 3 == 1 then h = h + 1 end
    x = x * 0.999 + i / 1000.0
  end
  local n, steps = 837799, 0
  while n ~= 1 do
    if n & 1 == 0 then n = n // 2 else n = 3 * n + 1 end
    steps = steps + 1
  end
  check(steps, 524, "collatz")
  check(h >= 0 and h < 0x1000000, true, "hash range")
  check(math.floor(x) > 0, true, "float sum")
end

-- Arrays: fill, insertion sort of a small window, table.insert/remove.
do
  local a, seed = {}, 7
  for i = 1, 2000 do
    seed = (seed * 1103515245 + 12345) % 2147483648
    a[i] = seed % 10000
  end
  for i = 2, #a do
    local v, j = a[i], i - 1
    while j >= 1 and a[j] > v do a[j + 1] = a[j]; j = j - 1 end
    a[j + 1] = v
  end
  for i = 2, #a do assert(a[i - 1] <= a[i]) end
  local q = {}
  for i = 1, 20000 do table.insert(q, i) end
  local s = 0
  while #q > 0 do s = s + table.remove(q) end
  check(s, 20000 * 20001 // 2, "queue")
end

-- Records with string keys, objects with methods, inheritance.
do
  local Vec = {}
  Vec.__index = Vec
  function Vec.new(x, y) return setmetatable({x = x, y = y}, Vec) end
  function Vec:add(o) return Vec.new(self.x + o.x, self.y + o.y) end
  function Vec:scale(k) return Vec.new(self.x * k, self.y * k) end
  function Vec:len2() return self.x * self.x + self.y * self.y end
  local Body = setmetatable({}, {__index = Vec})
  Body.__index = Body
  function Body.new(x, y) local b = Vec.new(x, y); b.vx, b.vy = 1, -1; return setmetatable(b, Body) end
  function Body:step(dt) self.x = self.x + self.vx * dt; self.y = self.y + self.vy * dt end
  local bodies = {}
  for i = 1, 200 do bodies[i] = Body.new(i, -i) end
  local acc = Vec.new(0, 0)
  for _ = 1, 200 do
    for _, b in ipairs(bodies) do
      b:step(0.5)
      acc = acc:add(b):scale(0.5)
    end
  end
  check(acc:len2() > 0, true, "vectors")
  local count = {}
  for i = 1, 30000 do
    local k = "k" .. (i % 97)
    count[k] = (count[k] or 0) + 1
  end
  local total = 0
  for _, v in pairs(count) do total = total + v end
  check(total, 30000, "counts")
end

-- Calls: recursion, closures and upvalues, varargs, tail calls.
do
  local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end
  check(fib(22), 17711, "fib")
  local function counter()
    local c = 0
    return function(d) c = c + (d or 1); return c end
  end
  local c = counter()
  for i = 1, 50000 do c(i & 1) end
  check(c(0), 25000, "closure")
  local function sum(...)
    local s = 0
    for i = 1, select("#", ...) do s = s + select(i, ...) end
    return s
  end
  local t = 0
  for i = 1, 5000 do t = t + sum(i, 1, 2, 3) end
  check(t, 5000 * 5001 // 2 + 6 * 5000, "varargs")
  local function loop(n, acc) if n == 0 then return acc end return loop(n - 1, acc + n) end
  check(loop(100000, 0), 100000 * 100001 // 2, "tail calls")
end

-- Strings: building, formatting, searching, buffers.
do
  local parts = {}
  for i = 1, 5000 do parts[#parts + 1] = string.format("%d:%s", i, i % 2 == 0 and "even" or "odd") end
  local s = table.concat(parts, ",")
  local n = 0
  for _ in s:gmatch("even") do n = n + 1 end
  check(n, 2500, "gmatch")
  local line = ""
  for i = 1, 300 do line = line .. string.char(65 + i % 26) end
  check(#line, 300, "concat")
  check(s:find("4999:odd", 1, true) ~= nil, true, "find")
  check(("x"):rep(10):upper(), "XXXXXXXXXX", "rep")
end

-- Coroutines and generic for over custom iterators.
do
  local gen = coroutine.wrap(function()
    for i = 1, 20000 do coroutine.yield(i) end
  end)
  local s = 0
  for _ = 1, 20000 do s = s + gen() end
  check(s, 20000 * 20001 // 2, "coroutine")
  local function range(n)
    return function(_, i) if i < n then return i + 1 end end, nil, 0
  end
  local r = 0
  for i in range(50000) do r = r + i end
  check(r, 50000 * 50001 // 2, "iterator")
end

-- Metamethods: arithmetic, comparison, indexing and calls through them.
do
  local mt = {}
  mt.__add = function(a, b) return setmetatable({v = a.v + b.v}, mt) end
  mt.__lt = function(a, b) return a.v < b.v end
  mt.__call = function(self, d) return self.v + d end
  local a, one = setmetatable({v = 0}, mt), setmetatable({v = 1}, mt)
  for _ = 1, 20000 do a = a + one end
  check(one < a, true, "__lt")
  check(a(5), 20005, "__call")
  local defaults = setmetatable({}, {__index = function(_, k) return #k end})
  local len = 0
  for i = 1, 10000 do len = len + defaults[i % 2 == 0 and "ab" or "abc"] end
  check(len, 25000, "__index")
end

-- Garbage: short-lived tables and trees, so the collector runs.
do
  local function tree(d) if d == 0 then return {} end return {tree(d - 1), tree(d - 1)} end
  local function count(t) if t[1] == nil then return 1 end return 1 + count(t[1]) + count(t[2]) end
  local n = 0
  for _ = 1, 8 do n = n + count(tree(12)) end
  check(n, 8 * 8191, "trees")
end

-- The dialect's own: memory-read operators, compound assignment, !=.
do
  local s = 0
  for a = 0, 30000 do s += @a + %a + $a + *a end
  check(s, 0, "memory reads")  -- the runner's memory is zeroed
  local n = 0
  for i = 1, 30000 do if i % 3 != 0 then n += 1 end end
  check(n, 20000, "compound assignment")
end

print("vm_train: " .. checks .. " checks")
