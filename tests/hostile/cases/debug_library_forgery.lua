--@ frames 120
--@ expect forgery done
-- Every way the debug library offered to reach host state or break an invariant.
local function try(f, ...) return pcall(f, ...) end

-- Native frames: their temporaries (a string builder's box) and functions.
local box, fn
local tab = setmetatable({}, {__index = function(_, i)
	for n = 1, 8 do
		local name, v = debug.getlocal(2, n)
		if type(v) == "userdata" then box = v end
	end
	local info = debug.getinfo(2, "f")
	fn = info and info.func
	return string.rep("x", 600)
end})
try(table.concat, tab, "", 1, 4)
if box then
	local mt = debug.getmetatable(box)
	if mt and mt.__close then try(mt.__close, box) end
end

-- Error reports run host routines; a __tostring sees their frames.
local e = setmetatable({}, {__tostring = function()
	for l = 1, 6 do
		local info = debug.getinfo(l, "f")
		if info and info.func and not fn then fn = info.func end
	end
	return "error object"
end})
try(error, e)

-- Upvalues of native closures: the matcher's state, the random state.
local it = string.gmatch("abc", ".")
local _, state = debug.getupvalue(it, 3)
try(debug.setupvalue, it, 1, string.rep("y", 100))
local _, rstate = debug.getupvalue(math.random, 1)
-- Out-of-range upvalue indices.
local function f1() return tab end
local function f2() return e end
try(debug.upvalueid, f1, 1000)
try(debug.upvaluejoin, f1, 1000, f2, 1)
try(debug.upvaluejoin, f1, 1, f2, -5)
try(debug.upvaluejoin, f1, 1, it, 3)
-- Host userdata: typed arrays and whatever state leaked above.
local a = vec(1, 2, 3)
for _, u in ipairs({a, state or a, rstate or a, box or a}) do
	try(debug.setmetatable, u, getmetatable(a))
	try(debug.setmetatable, u, nil)
	try(debug.setuservalue, u, {}, 1)
	try(get, u)
end
try(debug.setmetatable, a, {__gc = function() end})
-- The registry: host references and the hook table.
if debug.getregistry then
	local reg = debug.getregistry()
	for k in pairs(reg) do reg[k] = 1 end
end
-- Native functions reached above, called with forged arguments.
if fn then
	try(fn, a, a)
	try(fn, nil, 1)
	try(fn, "x")
end
-- Count and line hooks on every instruction, with a native hook function.
debug.sethook(type, "l", 1)
local n = 0
for i = 1, 20000 do n = n + i end
debug.sethook()
debug.sethook(function() local _ = {} end, "crl", 3)
for i = 1, 2000 do n = n + i end
debug.sethook()
collectgarbage()
_printh("forgery done " .. get(a, 0))
while true do flip() end
