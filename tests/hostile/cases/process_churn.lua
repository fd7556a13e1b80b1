--@ frames 120
--@ expect churn started
-- Processes made and killed as fast as a program can, and the process table kept full.
local function make() return _create_process_from_code("while true do flip() end", "churn", "/churn.lua") end
_kill_process(make())
_printh("churn started")
local held = {}
while true do
	local p = make()
	if p then _kill_process(p) end
	if #held < 400 then held[#held + 1] = make() end
end
