--@ frames 120
--@ expect forged keys ignored
-- A program's messages to the window manager that look like the host's key
-- events must not work its keys: F12 would end the focused program (this
-- one), F6 to F9 would start captures.
for _ = 1, 30 do
	for _, key in ipairs({69, 63, 64, 65, 66}) do
		send_message(3, {event = "keydown", scancode = key})
		send_message(3, {event = "keyup", scancode = key})
	end
	flip()
end
_printh("forged keys ignored")
while true do flip() end
