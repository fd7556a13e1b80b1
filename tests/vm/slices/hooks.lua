-- Hooks written in Lua (count, line, call and return) run on every few
-- instructions, and a count hook that yields the main thread itself.
local calls, lines, counts, seen = 0, 0, 0, 0
local function f(n) local s = 0 for i = 1, n do s = s + i end return s end
local function v(...) return select('#', ...) end
debug.sethook(function(ev)
  if ev == "count" then counts = counts + 1
  elseif ev == "line" then lines = lines + 1
  else calls = calls + 1 end
  if counts % 50 == 0 then seen = seen + cycles() % 1000 end
end, "crl", 3)
local s = 0
for i = 1, 80 do s = s + f(i % 13) + v(i, i) end
debug.sethook()
hookyield(7)
local t = 0
for i = 1, 400 do t = t + i end
hookyield(0)
return s, calls, lines, counts, seen, t
