--@ frames 120
--@ rss 150
--@ expect focus churn started
-- The audio focus changes thousands of times a frame: note from this process and from
-- one whose slices it runs in turn, the stat codes that query the engine, and a process
-- with a 16 MB array mapped over its whole address space.
local k = _create_process_from_code("while true do note(48, 0, 1, 0, 0, 0) end", "k", "/k.lua")
_create_process_from_code("while true do stat(465, 0, 0x80000) stat(464) end", "s", "/s.lua")
_create_process_from_code([[
local u = userdata("u8", 4096, 4096)
_map_ram(u, 0)
while true do note(48, 0, 1, 0, 0, 2) end
]], "m", "/m.lua")
_printh("focus churn started")
while true do
	for r = 1, 10000 do
		note(48, 0, 1, 0, 0, 1)
		_run_process_slice(k, 0.00001)
	end
	flip()
end
