-- The window manager (pid 3): reads its queue every frame. Headless, error
-- reports go to standard output; the desktop's video comes with graphics.

local function flag(v) return v == true or (type(v) == "number" and v ~= 0) end
local headless = flag(stat(315))

_signal(37)

while true do
	local msg = _read_message()
	while msg do
		if headless and type(msg) == "table" and msg.event == "report_error" then
			_printh(tostring(msg.content))
		end
		msg = _read_message()
	end
	flip()
end
