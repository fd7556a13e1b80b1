-- Metamethods run by the loop (arithmetic, comparison, concatenation, length,
-- indexing, calls, closing) and by native code that cannot yield (tostring,
-- gsub callbacks), errors caught by pcall, and forced yields.
local V = {}
V.__index = V
V.__add = function(a, b) return setmetatable({x = a.x + b.x}, V) end
V.__eq = function(a, b) return a.x == b.x end
V.__lt = function(a, b) return a.x < b.x end
V.__le = function(a, b) return a.x <= b.x end
V.__concat = function(a, b) return tostring(a) .. "|" .. tostring(b) end
V.__len = function(a) return a.x end
V.__call = function(self, k) return self.x * k end
V.__tostring = function(a) local s = "" for i = 1, 3 do s = s .. a.x end return s end
V.__close = function(a) a.closed = true end
local P = setmetatable({}, {__index = function(t, k) return k .. "!" end,
                            __newindex = function(t, k, v) rawset(t, k, v * 2) end})
-- Metamethod functions reached through tables that force a yield: the loop
-- must see the flag they raise at its next check.
local Q = setmetatable({}, {__index = setmetatable({}, {__index = function(t, k)
  if k % 4 == 0 then flip() end
  return k
end}), __newindex = function(t, k, v) if k % 3 == 0 then flip() end rawset(t, k, v) end})
local R = setmetatable({}, {__index = flip, __newindex = flip})  -- native ones
local acc, out = setmetatable({x = 0}, V), {}
for i = 1, 40 do
  acc = acc + setmetatable({x = i}, V)
  local b = setmetatable({x = i}, V)
  if b < acc and b <= acc and not (b == acc) then out[#out + 1] = #b + b(2) end
  P[i] = i
  Q[i] = Q[i + 1]
  if i % 6 == 0 then R[i] = R[i] end
  out[#out + 1] = P["k" .. i % 3]
  do
    local c <close> = setmetatable({x = i}, V)
  end
  if i % 7 == 0 then
    local ok, e = pcall(function() local t = nil return t.x end)
    out[#out + 1] = ok and "?" or "err"
    flip()
  end
  if i % 5 == 0 then out[#out + 1] = (acc .. b):sub(1, 8) end
end
local g = ("abcdefghij"):rep(5):gsub("%a", function(c) local n = 0 for i = 1, 20 do n = n + i end return c:upper() end)
return tostring(acc), rawget(P, 5), rawget(Q, 6), g, table.concat(out, ",")
