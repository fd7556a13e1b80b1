-- The window manager (pid 3): reads its queue every frame. Headless, error
-- reports go to standard output; the desktop's video comes with graphics.
-- Keyboard, text and mouse events go on to the focused program: the newest
-- user process.

local function flag(v) return v == true or (type(v) == "number" and v ~= 0) end
local headless = flag(stat(315))

local input_events = {
	keydown = true, keyup = true, textinput = true,
	mouse = true, mousewheel = true, mouselockedmove = true,
}

local function focused_pid()
	local best
	for _, p in ipairs(_get_process_list()) do
		if p.id > 3 and (not best or p.id > best) and _process_state(p.id) == 0 then best = p.id end
	end
	return best
end

_signal(37)

while true do
	local msg = _read_message()
	local focus
	while msg do
		if type(msg) == "table" then
			if headless and msg.event == "report_error" then
				_printh(tostring(msg.content))
			elseif input_events[msg.event] then
				focus = focus or focused_pid()
				if focus then send_message(focus, msg) end
			end
		end
		msg = _read_message()
	end
	flip()
end
