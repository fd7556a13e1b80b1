-- The window manager (pid 3): reads its queue every frame. Keyboard, text and
-- mouse events go on to the focused program: the newest user process. Its
-- screen is the desktop: the focused program's screen is copied into it every
-- frame. With no program to focus, the desktop lists the programs that can be
-- run. Error reports are shown at the foot of the screen (headless, they go to
-- standard output too); notices, such as a capture's, at its top.

local function flag(v) return v == true or (type(v) == "number" and v ~= 0) end
local headless = flag(stat(315))

local input_events = {
	keydown = true, keyup = true, textinput = true,
	mouse = true, mousewheel = true, mouselockedmove = true,
}

-- The window manager's own keys (scancodes), never passed on: F6 screenshot,
-- F7 cartridge label, F8 GIF recording on/off, F9 audio capture on/off, F12
-- ends the focused program and brings the list back.
local KEY_SHOT, KEY_LABEL, KEY_GIF, KEY_AUDIO, KEY_BACK = 63, 64, 65, 66, 69
local own_keys = { [KEY_SHOT] = true, [KEY_LABEL] = true, [KEY_GIF] = true, [KEY_AUDIO] = true, [KEY_BACK] = true }

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
local notice, notice_frames = nil, 0

local function add_report(text)
	for line in (tostring(text) .. "\n"):gmatch("([^\n]*)\n") do
		report[#report + 1] = line
	end
	while #report > REPORT_LINES do table.remove(report, 1) end
end

local function report_top()
	return #report == 0 and 270 or 270 - 9 * #report - 5
end

local function draw_report()
	if #report == 0 then return end
	local y = report_top() + 2
	rectfill(0, y - 2, 479, 269, 2)
	for i, line in ipairs(report) do
		print(line, 3, y + 9 * (i - 1), line:sub(1, 1) == "*" and 10 or 7)
	end
end

-- Video out shows this screen through this process's video mode and palettes,
-- so the focused program's own (its RGB palette, scanline banks and display
-- palette, and its video mode) are taken each frame. The desktop and the error
-- reports use the defaults.
local shown_as, last_focus
local function take_display(focus)
	-- A program's first frame keeps the defaults: its start-up code, which sets its
	-- palettes, runs after this process in that frame.
	local first = focus ~= last_focus
	last_focus = focus
	if focus and not first and #report == 0 then
		for a = 0x5000, 0x5440, 4 do poke4(a, _ppeek4(focus, a)) end
		for a = 0x5480, 0x54bc, 4 do poke4(a, _ppeek4(focus, a)) end
		poke(0x547c, _ppeek(focus, 0x547c))
		shown_as = focus
	elseif shown_as then
		pal()
		poke(0x547c, 0)
		shown_as = nil
	end
end

local function show_notice(text)
	notice, notice_frames = tostring(text):gsub("\n", " "), 150
end

local function draw_notice()
	if notice_frames <= 0 then return end
	notice_frames = notice_frames - 1
	rectfill(0, 0, 479, 10, 2)
	print(notice, 3, 2, 7)
end

-- Captures: the whole screen, under the name "orvanta" in the host desktop
-- folder, mounted at /desktop/host when a capture first finds it missing.
local function capture(key)
	if fstat("/desktop/host") ~= "folder" then _signal(65) end
	notice_frames = 0 -- the picture taken now is the program's, without an earlier notice
	local name = "orvanta"
	for i = 0, 63 do poke(0x60 + i, i < #name and ord(name, i + 1) or 0) end
	if key == KEY_SHOT or key == KEY_LABEL then
		-- screenshot: x0, y0, width, height, scale, label, skip, silent
		poke2(0x50, 0, 0, 480, 270, 1, key == KEY_LABEL and 1 or 0, 0, 0)
		_signal(21)
	elseif key == KEY_GIF then
		if stat(320) ~= 0 then
			_signal(19)
		else
			-- recording: x0, y0, width, height, scale, (unused), skip, silent
			poke2(0x40, 0, 0, 480, 270, 1, 0, 0, 0)
			_signal(18)
		end
	elseif key == KEY_AUDIO then
		_signal(16)
	end
end

-- A recording in progress is named in the window title, which the recording
-- itself doesn't show.
local title = "Orvanta"

local function show_recording()
	local t = "Orvanta"
	if stat(320) ~= 0 then t = t .. " - recording a GIF (F8 ends it)" end
	if stat(322) ~= 0 then t = t .. " - capturing audio (F9 ends it)" end
	if t ~= title then _set_host_window_title(t) title = t end
end

-- The desktop list: the bundled examples, then the .lua files and cartridges
-- at the top of the drive. Arrows (or a pad) and Enter, or the mouse, run one.
local LIST_Y, ROW_H = 16, 10
local items, selected, scroll = {}, 1, 0
local rescan_frames = 0

local function runnable(name)
	return name:lower():match("%.lua$") or name:match("%.q64$") or name:match("%.q64%.rom$")
end

local function scan()
	local was = items[selected] and items[selected].path
	items = {}
	for _, dir in ipairs({ "/system/examples", "" }) do
		local names, last = ls(dir == "" and "/" or dir) or {}, 0
		for i in pairs(names) do if type(i) == "number" and i > last then last = i end end
		for i = 1, last do
			local name = names[i]
			if type(name) == "string" and runnable(name) then items[#items + 1] = { path = dir .. "/" .. name } end
		end
	end
	selected = 1
	for i, it in ipairs(items) do if it.path == was then selected = i end end
	rescan_frames = 120
end

local function visible_rows()
	return (math.min(report_top(), 258) - LIST_Y) // ROW_H
end

local function choose(i)
	if #items == 0 then return end
	selected = (i - 1) % #items + 1
	local rows = math.max(1, visible_rows())
	if selected <= scroll then scroll = selected - 1 end
	if selected > scroll + rows then scroll = selected - rows end
end

local function run(i)
	if not items[i] then return end
	report = {}
	send_message(2, { event = "run", path = items[i].path })
end

local function row_at(my)
	local i = (my - LIST_Y) // ROW_H + scroll + 1
	if my >= LIST_Y and i <= scroll + visible_rows() and items[i] then return i end
end

-- Any process may send this process a message: fields read as whole numbers.
local function int(v) return math.tointeger(v) or 0 end

local last_mx, last_my, last_mb = nil, nil, 0

local function list_input(msg)
	if msg.event == "mouse" then
		-- Pointing moves the choice only when the pointer moves; a click runs.
		local i = row_at(int(msg.my))
		local moved = last_mx and (int(msg.mx) ~= last_mx or int(msg.my) ~= last_my)
		if i and moved then selected = i end
		if i and int(msg.mb) & 1 == 1 and last_mb & 1 == 0 then run(i) end
	elseif msg.event == "mousewheel" then
		choose(selected - int(msg.wheel_y))
	end
end

local function draw_list()
	rectfill(0, 0, 479, 10, 7)
	print("Orvanta", 3, 2, 1)
	if #items == 0 then
		print("Nothing to run yet: put .lua programs or cartridges in the drive folder.", 8, LIST_Y + 4, 6)
	end
	for r = 1, visible_rows() do
		local i = scroll + r
		if not items[i] then break end
		local y = LIST_Y + (r - 1) * ROW_H
		if i == selected then rectfill(0, y, 479, y + ROW_H - 2, 12) end
		print(items[i].path, 8, y + 1, i == selected and 7 or 6)
	end
	if #report == 0 then
		print("arrows, Enter or click: run   F12: back here   F6 screenshot  F7 label  F8 GIF  F9 audio", 3, 261, 13)
	end
end

local listing = false

_signal(37) -- the desktop is ready: video out shows this screen

while true do
	local focus = focused_pid()
	local msg = _read_message()
	while msg do
		if type(msg) == "table" then
			if msg.event == "report_error" then
				if headless then _printh(tostring(msg.content)) end
				add_report(msg.content)
			elseif msg.event == "user_notification" then
				show_notice(msg.content)
			elseif input_events[msg.event] and msg._from == nil then
				-- Only the host's own events (they carry no sender): a program's
				-- message can't press the window manager's keys or another's.
				if (msg.event == "keydown" or msg.event == "keyup") and own_keys[msg.scancode] then
					if msg.event == "keydown" and msg.scancode == KEY_BACK then
						if focus then _kill_process(focus) focus = focused_pid() end
					elseif msg.event == "keydown" then
						capture(msg.scancode)
					end
				elseif focus then
					if msg.event == "keydown" then report = {} end
					send_message(focus, msg)
				elseif not headless then
					list_input(msg)
				end
				if msg.event == "mouse" then last_mx, last_my, last_mb = int(msg.mx), int(msg.my), int(msg.mb) end
			end
		end
		msg = _read_message()
	end

	poke4(FOCUS, focus or 0)
	cls(desktop_colour)
	take_display(focus)
	if focus then
		listing = false
		_blit_process_video(focus)
	elseif not headless then
		-- Keys held when the list comes back count only once let go.
		if not listing then _update_buttons(false) scan() end
		listing = true
		_update_buttons(true)
		rescan_frames = rescan_frames - 1
		if rescan_frames <= 0 then scan() end
		if btnp(2) then choose(selected - 1) end
		if btnp(3) then choose(selected + 1) end
		choose(selected)
		if btnp(6) then run(selected) end
		draw_list()
	end
	draw_report()
	draw_notice()
	show_recording()
	flip()
end
