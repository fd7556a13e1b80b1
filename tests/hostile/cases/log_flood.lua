--@ frames 150
--@ expect log flood started
--@ after log.txt reached its limit
-- Processes that fail at once with long messages, and sources that don't compile,
-- make the host log without end; log.txt must stop at its limit.
_printh("log flood started")
local noisy = "error(string.rep('x', 16000))"
while true do
	for _ = 1, 20 do
		_create_process_from_code(noisy, "noisy", "/noisy.lua")
		_create_process_from_code("syntax error here (", "bad", "/bad.lua")
	end
	flip()
end
