--@ frames 120
--@ expect finalizers made
-- Finalizers run where the program can't yield: in collections, at its end and
-- when it is killed. Work there is charged and stopped, and a parent that keeps
-- making, running and killing such children is charged for it.
local body = [[
local s = string.rep("a", 1e5)
for i = 1, 8 do
	setmetatable({}, {__gc = function()
		while true do string.find(s, ".-.-.-.-.-.-x") end
	end})
	setmetatable({}, {__gc = function() while true do end end})
end
while true do flip() end
]]
setmetatable({}, {__gc = function() while true do string.rep("ab", 1e6) end end})
collectgarbage()
_printh("finalizers made")
while true do
	local pid = _create_process_from_code(body, "child", "/child.lua")
	if pid then
		_run_process_slice(pid, 0.01)
		_kill_process(pid)
	end
end
