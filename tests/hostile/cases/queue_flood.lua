--@ frames 300
--@ expect flood started
-- Twenty processes that never read their queues, twenty senders filling them with
-- 4 MB messages, and floods sent to the system's own processes too.
local sinks = {}
for i = 1, 20 do sinks[i] = _create_process_from_code("while true do flip() end", "sink", "/sink.lua") end
local sender = [[
local msg = {s = string.rep("m", 4 << 20)}
while true do
	send_message(TARGET, msg)
	send_message(1, msg)
	send_message(2, msg)
end
]]
for i = 1, 20 do
	_create_process_from_code(sender:gsub("TARGET", tostring(sinks[i])), "sender", "/sender.lua")
end
_printh("flood started")
local msg = {s = string.rep("m", 4 << 20)}
while true do send_message(pid(), msg) end
