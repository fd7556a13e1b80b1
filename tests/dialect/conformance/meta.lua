-- metatables, to-be-closed variables, weak tables
local V = {}
V.__index = V
V.__add = function(a, b) return setmetatable({x = a.x + b.x}, V) end
V.__eq = function(a, b) return a.x == b.x end
V.__lt = function(a, b) return a.x < b.x end
V.__le = function(a, b) return a.x <= b.x end
V.__tostring = function(v) return "V(" .. v.x .. ")" end
V.__len = function(v) return v.x end
V.__call = function(v, y) return v.x * y end
V.__concat = function(a, b) return tostring(a) .. "&" .. tostring(b) end
V.__unm = function(a) return setmetatable({x = -a.x}, V) end
V.__idiv = function(a, b) return "idiv" end
local function new(x) return setmetatable({x = x}, V) end
local a, b = new(1), new(2)
print(tostring(a + b), a == new(1), a < b, a <= b, #b, b(10), a .. b, tostring(-a), a // b)
local log = {}
local proxy = setmetatable({}, {__index = function(_, k) log[#log + 1] = k return k .. "!" end,
  __newindex = function(t, k, v) rawset(t, k, v * 2) end})
proxy.z = 4
print(proxy.q, proxy.z, #log, getmetatable("").__index == string)

do
  local order = {}
  do
    local x <close> = setmetatable({}, {__close = function() order[#order + 1] = "x" end})
    local y <close> = setmetatable({}, {__close = function(_, e) order[#order + 1] = "y" end})
    order[#order + 1] = "body"
  end
  print(table.concat(order, " "))
  local ok, err = pcall(function()
    local z <close> = setmetatable({}, {__close = function(_, e) order[#order + 1] = "z:" .. tostring(e) end})
    error("boom", 0)
  end)
  print(ok, err, order[#order])
end
local k <const> = 42
print(k)
local weak = setmetatable({}, {__mode = "k"})
weak[{}] = 1
collectgarbage()
print(next(weak))
