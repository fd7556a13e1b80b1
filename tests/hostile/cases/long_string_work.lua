--@ frames 400
--@ expect long strings done
-- Native work that grows with long strings, each call charged by its length.
local a = string.rep("a", 4 << 20)
local b = string.rep("a", 4 << 20)
local d = string.rep("1", 4 << 20)
local u = string.rep("\u{20AC}", 1 << 20)
local parts = {}
for i = 1, 64 do parts[i] = string.rep("z", 1 << 16) end
local huge = {}
for i = 1, 200 do huge[i] = 1e308 end
local fmt = string.rep("%.99f", 200)
local n = 0
do
	n = n + ((a == b) and 1 or 0) + ((a < b) and 1 or 0) + ((a <= b) and 1 or 0)
	n = n + (utf8.len(u) or 0) + (tonumber(d) and 1 or 0) + (tonum(d) and 1 or 0)
	n = n + (string.find(a, "b", 1, true) or 0) + #table.concat(parts)
	n = n + #a:upper() + #a:reverse() + #string.format("%q", a:sub(1, 1 << 20))
	n = n + (tonumber(d, 16) or 0) + select("#", utf8.codepoint(u, 1, 3000))
end
_printh("long strings done")
while true do
	local x = a == b
	x = a < b
	x = utf8.len(u)
	x = tonumber(d)
	x = tonum(d)
	x = (d + 0)
	x = string.find(a, "b", 1, true)
	x = table.concat(parts)
	x = a:lower()
	x = a .. b
	x = #string.format("%s%s", a, b)
	x = utf8.offset(u, -1)
	x = string.unpack("z", a .. "\0")
	x = {}
	x[a] = 1
	x[b .. "x"] = 2
	x = string.format(fmt, table.unpack(huge))
end
