-- Coroutines: generators, wraps, nesting, errors inside them, budget yields
-- inside a coroutine (told apart by the escape flag, as the system's own
-- scheduler does).
local function resume(co, ...)
  local r = table.pack(coroutine.resume(co, ...))
  while escaped(co) and r[1] and r.n == 1 and coroutine.status(co) == "suspended" do
    r = table.pack(coroutine.resume(co))
  end
  return table.unpack(r, 1, r.n)
end
local function gen(n)
  local co = coroutine.create(function()
    for i = 1, n do
      local s = 0
      for j = 1, i do s = s + j end
      coroutine.yield(s)
    end
  end)
  return function() local _, v = resume(co) return v end
end
local total = 0
for v in gen(15) do total = total + v end
local inner = coroutine.create(function(a, b)
  local x = a + b
  for i = 1, 20 do x = x + (coroutine.yield(x) or 0) end
  error("done " .. x)
end)
local outer = coroutine.create(function()
  local ok, v = resume(inner, 1, 2)
  local n = 0
  while ok and coroutine.status(inner) ~= "dead" do
    n = n + 1
    ok, v = resume(inner, n % 3)
  end
  return n, ok, v
end)
local r = {resume(outer)}
local wrapped = coroutine.wrap(function(a) for i = 1, 5 do a = a + coroutine.yield(a) end return -a end)
local w = wrapped(1)
return total, tostring(r[2]), tostring(r[3]), tostring(r[4]), w
