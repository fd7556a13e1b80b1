-- The kernel (pid 1): applies the settings, starts the process manager (pid 2)
-- and the window manager (pid 3), then gives every other process a slice of
-- each frame. Headless, the system exits once the user programs are done.

local function flag(v) return v == true or (type(v) == "number" and v ~= 0) end
local headless = flag(stat(315))

_apply_system_settings({
	fullscreen = false,
	pixel_perfect = true,
	volume = 192,
	network_access = true,
})

local function start(path, name)
	local src = fetch(path)
	if type(src) ~= "string" then
		_printh("could not start " .. path)
		return
	end
	return _create_process_from_code(src, name, path)
end

start("/system/pm.lua", "pm")
start("/system/wm.lua", "wm")

local function user_processes()
	local n = 0
	for _, p in ipairs(_get_process_list()) do
		if p.id > 3 then n = n + 1 end
	end
	return n
end

local programs_started = false
local idle_frames = 0

while true do
	-- Only the process manager's start-up message matters here. It is the first to
	-- arrive; reading stops with it, so no program can stall the scheduler with messages.
	for _ = 1, 4 do
		if programs_started then break end
		local msg = _read_message()
		if not msg then break end
		if type(msg) == "table" and msg.event == "programs_started" and msg._from == 2 then programs_started = true end
	end

	-- The system's two processes run first, with up to a quarter of the frame each
	-- (they use far less). The programs then share what is left: each gets an even
	-- part of what the ones before it left over.
	local left, programs = 0.95, {}
	for _, p in ipairs(_get_process_list()) do
		if p.id > 3 then
			programs[#programs + 1] = p.id
		elseif p.id ~= 1 then
			local _, used = _run_process_slice(p.id, 0.25)
			left = left - (tonumber(used) or 0)
		end
	end
	for i, id in ipairs(programs) do
		local _, used = _run_process_slice(id, math.max(left, 0.001) / (#programs - i + 1))
		left = left - (tonumber(used) or 0)
	end

	-- One frame more before exiting, so the window manager reads the last reports.
	if headless and programs_started and user_processes() == 0 then
		idle_frames = idle_frames + 1
		if idle_frames > 1 then _signal(33) end
	else
		idle_frames = 0
	end
	flip()
end
