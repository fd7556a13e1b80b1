--@ frames 600
--@ expect endless callbacks stopped 4
-- Lua code that can't yield, looping for ever in the program's own slice: a
-- finalizer run by a collection, a reader of load, a gsub callback, __tostring
-- called by tostring, __index called by table.concat. Each is stopped far over
-- budget, without holding the frame.
local function spin() local n = 0 while true do n += 1 end end
local function round()
	local stopped = 0
	setmetatable({}, {__gc = spin})
	collectgarbage()
	for _, f in ipairs({
		function() local _, err = load(function() spin() end) error(err) end,
		function() string.gsub("abc", "%a", function() spin() end) end,
		function() tostring(setmetatable({}, {__tostring = function() spin() end})) end,
		function() table.concat(setmetatable({}, {__index = function() spin() end, __len = function() return 2 end})) end,
	}) do
		local ok, err = pcall(f)
		if not ok and tostring(err):find("cpu budget exceeded in code that cannot yield", 1, true) then stopped += 1 end
	end
	return stopped
end
_printh("endless callbacks stopped " .. round())
while true do round() end
