-- The window manager (pid 3): reads its queue every frame. Error reports are
-- shown at the foot of the screen until the next key press; headless, they go
-- to standard output too. Keyboard, text and mouse events go on to the
-- focused program: the newest user process. Its screen is the desktop: the
-- focused program's screen is copied into it every frame.

local function flag(v) return v == true or (type(v) == "number" and v ~= 0) end
local headless = flag(stat(315))

local input_events = {
	keydown = true, keyup = true, textinput = true,
	mouse = true, mousewheel = true, mouselockedmove = true,
}

-- The focused pid (0 for none) is kept here, where the programs read it to
-- know when their buttons follow the input.
local FOCUS = 0x20

local function focused_pid()
	local best
	for _, p in ipairs(_get_process_list()) do
		if p.id > 3 and (not best or p.id > best) and _process_state(p.id) == 0 then best = p.id end
	end
	return best
end

-- The screen video out shows: 480 x 270 bytes mapped at 0x10000.
local screen = userdata("u8", 480, 270)
_map_ram(screen, 0x10000)
_set_draw_target(screen)
poke(0x5508, 0x3f, 0x3f, 0x3f, 0) -- read, write, sprite and shape target masks
poke2(0x5478, 480, 270)
pal()
do local f = load(fetch("/system/userland.lua") or "", "@/system/userland.lua") if f then f() end end

local desktop_colour = 1
local report = {} -- lines of the error reports shown
local REPORT_LINES = 12

local function add_report(text)
	for line in (tostring(text) .. "\n"):gmatch("([^\n]*)\n") do
		report[#report + 1] = line
	end
	while #report > REPORT_LINES do table.remove(report, 1) end
end

local function draw_report()
	if #report == 0 then return end
	local y = 270 - 9 * #report - 3
	rectfill(0, y - 2, 479, 269, 2)
	for i, line in ipairs(report) do
		print(line, 3, y + 9 * (i - 1), line:sub(1, 1) == "*" and 10 or 7)
	end
end

local function draw_desktop(focus)
	cls(desktop_colour)
	if focus then
		_blit_process_video(focus)
	else
		rectfill(0, 0, 479, 10, 7)
		rect(0, 0, 479, 269, 7)
		print("Orvanta", 3, 2, 1)
	end
	draw_report()
end

draw_desktop(nil)
_signal(37) -- the desktop is ready: video out shows this screen

while true do
	local msg = _read_message()
	local focus
	while msg do
		if type(msg) == "table" then
			if msg.event == "report_error" then
				if headless then _printh(tostring(msg.content)) end
				add_report(msg.content)
			elseif input_events[msg.event] then
				if msg.event == "keydown" then report = {} end
				focus = focus or focused_pid()
				if focus then send_message(focus, msg) end
			end
		end
		msg = _read_message()
	end
	focus = focus or focused_pid()
	poke4(FOCUS, focus or 0)
	draw_desktop(focus)
	flip()
end
