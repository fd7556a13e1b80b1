-- A JSON-like text parser and writer over strings: build a document, write
-- it, parse it back, and write the result again; both texts must agree.
local seed = 7
local function random(n)
  seed = (seed * 1103515245 + 12345) & 0x7fffffff
  return seed % n
end

local words = {"alpha", "beta", "gamma", "delta", "quote\"d", "back\\slash", "tab\there", "line\nbreak"}
local function build(depth)
  local kind = depth > 3 and random(4) or random(6)
  if kind == 0 then return random(100000) - 50000
  elseif kind == 1 then return words[random(#words) + 1] .. random(100)
  elseif kind == 2 then return random(2) == 0
  elseif kind == 3 then return (random(2000000) - 1000000) / 64
  elseif kind == 4 then
    local a = {}
    for i = 1, random(6) + 1 do a[i] = build(depth + 1) end
    return a
  else
    local o, keys = {}, {}
    for i = 1, random(6) + 1 do
      local k = "k" .. random(50)
      if o[k] == nil then keys[#keys + 1] = k end
      o[k] = build(depth + 1)
    end
    return {keys = keys, values = o}
  end
end

local escapes = {['"'] = '\\"', ['\\'] = '\\\\', ['\n'] = '\\n', ['\t'] = '\\t'}
local function write(v, out)
  local t = type(v)
  if t == "string" then
    out[#out + 1] = '"' .. v:gsub('[%c"\\]', escapes) .. '"'
  elseif t == "number" then
    out[#out + 1] = math.type(v) == "integer" and tostring(v) or string.format("%.17g", v)
  elseif t == "boolean" then
    out[#out + 1] = tostring(v)
  elseif v.keys then
    out[#out + 1] = "{"
    for i, k in ipairs(v.keys) do
      if i > 1 then out[#out + 1] = "," end
      write(k, out)
      out[#out + 1] = ":"
      write(v.values[k], out)
    end
    out[#out + 1] = "}"
  else
    out[#out + 1] = "["
    for i, x in ipairs(v) do
      if i > 1 then out[#out + 1] = "," end
      write(x, out)
    end
    out[#out + 1] = "]"
  end
  return out
end

local unescapes = {['"'] = '"', ['\\'] = '\\', n = '\n', t = '\t'}
local function parser(s)
  local pos = 1
  local value
  local function skip()
    pos = s:find("[^ \n\t]", pos) or #s + 1
  end
  local function str()
    local buf = {}
    pos = pos + 1
    while true do
      local a, b = s:find('["\\]', pos)
      buf[#buf + 1] = s:sub(pos, a - 1)
      if s:byte(a) == 34 then pos = a + 1 break end
      buf[#buf + 1] = unescapes[s:sub(b + 1, b + 1)]
      pos = b + 2
    end
    return table.concat(buf)
  end
  function value()
    skip()
    local c = s:byte(pos)
    if c == 123 then  -- {
      local o = {keys = {}, values = {}}
      pos = pos + 1
      skip()
      if s:byte(pos) == 125 then pos = pos + 1 return o end
      repeat
        skip()
        local k = str()
        skip()
        assert(s:byte(pos) == 58, "colon expected")
        pos = pos + 1
        o.keys[#o.keys + 1] = k
        o.values[k] = value()
        skip()
        c = s:byte(pos)
        pos = pos + 1
      until c ~= 44
      assert(c == 125, "brace expected")
      return o
    elseif c == 91 then  -- [
      local a = {}
      pos = pos + 1
      repeat
        a[#a + 1] = value()
        skip()
        c = s:byte(pos)
        pos = pos + 1
      until c ~= 44
      assert(c == 93, "bracket expected")
      return a
    elseif c == 34 then
      return str()
    elseif s:sub(pos, pos + 3) == "true" then
      pos = pos + 4 return true
    elseif s:sub(pos, pos + 4) == "false" then
      pos = pos + 5 return false
    else
      local a, b = s:find("^-?[%d.eE+-]+", pos)
      local text = s:sub(a, b)
      pos = b + 1
      return text:find("[.eE]") and tonumber(text) or math.tointeger(tonumber(text))
    end
  end
  return value
end

local total = 0
for round = 1, 400 do
  local doc = {}
  for i = 1, 40 do doc[i] = build(0) end
  local text = table.concat(write(doc, {}))
  local back = parser(text)()
  local again = table.concat(write(back, {}))
  assert(again == text, "round " .. round .. " differs")
  total = total + #text
end
print(total)
