-- The process manager (pid 2): starts the programs named at start-up (the
-- command line's start path and the extra cartridge), then tells the kernel;
-- afterwards it starts the programs that the window manager's desktop list asks for.

-- Every program draws into a 480 x 270 screen mapped at 0x10000, where the
-- window manager's process video reads it; shapes draw their colour, sprites
-- leave colour 0 transparent. It gets the default font and print.
local screen_setup = "do local s = userdata('u8', 480, 270) _map_ram(s, 0x10000) _set_draw_target(s) end "
	.. "poke(0x5508, 0x3f, 0x3f, 0x3f, 0) poke2(0x5478, 480, 270) pal() color(6) "
	.. "do local f = load(fetch('/system/userland.lua') or '', '@/system/userland.lua') if f then f() end end "
-- Audio volumes and bases start at 0 (silent); the new program also takes the
-- audio focus, as it takes the input.
local audio_setup = "poke(0x5538, 64, 64, 64, 0, 3, 3) stat(464) "

local function run_program(path)
	local full = fullpath(path)
	if not full then return end
	-- A .lua file runs as it is; a cartridge (or folder) runs its main.lua.
	local main, dir = full, full:match("^(.*)/[^/]*$")
	if full:sub(-4):lower() ~= ".lua" then main, dir = full .. "/main.lua", full end
	if dir == "" then dir = "/" end
	local src = fetch(main)
	if type(src) ~= "string" then
		-- A report, so the desktop shows it too (and headless prints it).
		send_message(3, { event = "report_error", content = "could not run " .. full })
		return
	end
	local name = full:match("([^/]*)$")
	-- Same line as the program's first, so its line numbers stay right.
	local prelude = "srand() cd(" .. string.format("%q", dir) .. ") " .. screen_setup .. audio_setup
	return _create_process_from_code(prelude .. src, name, main)
end

if stat(317) == 3 then run_program("/ram/expcart") end
local start_path = stat(316)
if type(start_path) == "string" and start_path ~= "" then run_program(start_path) end

send_message(1, { event = "programs_started" })

-- Every message is read each frame, so the queue never fills; only the window
-- manager's requests to run a program are acted on.
while true do
	local msg = _read_message()
	while msg do
		if type(msg) == "table" and msg.event == "run" and msg._from == 3 and type(msg.path) == "string" then
			run_program(msg.path)
		end
		msg = _read_message()
	end
	flip()
end
