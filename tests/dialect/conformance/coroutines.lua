-- coroutines
local co = coroutine.create(function(x, y)
  local z = coroutine.yield(x + y)
  local w, v = coroutine.yield(z * 2)
  return w + v
end)
print(coroutine.resume(co, 1, 2))
print(coroutine.resume(co, 10))
print(coroutine.resume(co, 3, 4))
print(coroutine.resume(co), coroutine.status(co))
local gen = coroutine.wrap(function() for i = 1, 3 do coroutine.yield(i) end end)
print(gen(), gen(), gen())
print(coroutine.isyieldable(), select(2, coroutine.running()))

local function producer()
  return coroutine.wrap(function()
    for i = 1, 4 do coroutine.yield(i * i) end
    return "done"
  end)
end
local p = producer()
print(p(), p(), p(), p(), p())
print(pcall(p))
local co2 = coroutine.create(function() error("inside") end)
print(coroutine.resume(co2))
print(coroutine.close(co2), coroutine.status(co2))

-- calls on a coroutine's own stack, grown on the way down
local function depth(n) if n == 0 then return 0 end return 1 + depth(n - 1) end
local function tdepth(n, acc) if n == 0 then return acc end return tdepth(n - 1, acc + 1) end
local co3 = coroutine.wrap(function(n)
  while true do n = coroutine.yield(depth(n) + tdepth(n, 0)) end
end)
print(co3(10), co3(3000), co3(0))
