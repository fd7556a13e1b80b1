-- A plain Lua serializer of the same text shape as orb (sorted keys, escaped strings),
-- timed in stock Lua for comparison with the host's writer. Usage: lua orb_serialize.lua DIR
local dir = arg[1] or "."
local value = dofile(dir .. "/orb_workload.lua")

local fmt, concat, sort, type, tostring = string.format, table.concat, table.sort, type, tostring
local function esc(s)
  return (s:gsub('[%c"\\%]\128-\255]', function(c)
    if c == "\n" then return "\\n" elseif c == "\\" or c == '"' then return "\\" .. c end
    return fmt("\\%03d", c:byte())
  end))
end
local function num(v)
  if math.type(v) == "integer" then return tostring(v) end
  local s = fmt("%.14g", v)
  return s
end
local write
local function key_less(a, b)
  local ta, tb = type(a), type(b)
  if ta ~= tb then return ta == "string" end
  return a < b
end
function write(v, out)
  local t = type(v)
  if t == "number" then out[#out + 1] = num(v)
  elseif t == "string" then out[#out + 1] = '"' .. esc(v) .. '"'
  elseif t == "boolean" then out[#out + 1] = v and "true" or "false"
  elseif t == "table" then
    local n = #v
    local keys = {}
    for k in pairs(v) do
      local kt = type(k)
      if kt == "string" or (kt == "number" and not (math.type(k) == "integer" and k >= 1 and k <= n)) then
        keys[#keys + 1] = k
      end
    end
    sort(keys, key_less)
    out[#out + 1] = "{"
    local first = true
    for _, k in ipairs(keys) do
      if not first then out[#out + 1] = "," end
      first = false
      if type(k) == "string" and k:match("^[%a_][%w_]*$") then out[#out + 1] = k
      elseif type(k) == "string" then out[#out + 1] = '["' .. esc(k) .. '"]'
      else out[#out + 1] = "[" .. num(k) .. "]" end
      out[#out + 1] = "="
      write(v[k], out)
    end
    for i = 1, n do
      if not first then out[#out + 1] = "," end
      first = false
      write(v[i], out)
    end
    out[#out + 1] = "}"
  else out[#out + 1] = "nil" end
end

local function once()
  local out = {}
  write(value, out)
  return concat(out)
end

local text = once()
local runs, start = 0, os.clock()
repeat
  text = once()
  runs = runs + 1
until os.clock() - start > 1.0
local secs = (os.clock() - start) / runs
print(fmt("stock Lua serializer: %d bytes, %.3f ms per write, %.1f MB/s", #text, secs * 1000, #text / secs / 1e6))
local back = load("return " .. text)
start, runs = os.clock(), 0
repeat
  back()
  runs = runs + 1
until os.clock() - start > 1.0
secs = (os.clock() - start) / runs
print(fmt("stock Lua load() of the text: %.3f ms per read, %.1f MB/s", secs * 1000, #text / secs / 1e6))
