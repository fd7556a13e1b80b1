-- Run at the start of every user program (and by the window manager): the
-- default font at 0x4000, and print drawing text with it. A user program's
-- print also writes its text to standard output when the system runs
-- headless, and its buttons follow the input focus (below).

local user_program = pid() > 3
local echo = user_program and stat(315) == 1

local font = fetch("/system/fonts/lil.orb")
if font then font:poke(0x4000) end
poke(0x5f56, 0x40, 0x56) -- primary and alternative font addresses >> 8

-- print(text), print(text, col) at the cursor, scrolling the screen up when
-- the next line would not fit; print(text, x, y, [col]) at a place.
function print(text, ...)
	if type(text) ~= "string" and type(text) ~= "number" then text = tostring(text) end
	if echo then _printh(text) end
	local n = select("#", ...)
	if n >= 2 then return _print_tesscii(text, ...) end
	if n == 1 then color((...)) end
	local line_h = peek(0x4002)
	if line_h == 0 then line_h = 8 end
	local screen_h = peek2(0x547a)
	if screen_h <= 0 then screen_h = 270 end
	local y = peek4(0x54f4)
	-- Room for every line of the text, so none of it lands below the screen.
	local _, breaks = string.gsub(tostring(text), "\n", "")
	local over = y + line_h * (breaks + 1) - screen_h
	if over > 0 then
		-- Raw copies: no camera, palette or colour change.
		blit(nil, nil, 0, over, 0, 0, nil, screen_h - over)
		blit(userdata("u8", 480, math.min(over, screen_h)), nil, 0, 0, 0, math.max(screen_h - over, 0))
		poke4(0x54f4, y - over)
	end
	return _print_tesscii(text)
end

-- Buttons, once a frame after each flip, while this program has the input
-- focus: the window manager keeps the focused pid at 0x20 of its memory. Any
-- change of focus resets the block, so a key held across it doesn't stick. A
-- program that calls _update_buttons itself keeps its buttons to itself.
if user_program then
	local update, real_flip, own, focused = _update_buttons, flip, false, false
	function _update_buttons(...)
		own = true
		return update(...)
	end
	local function sync()
		local now = _ppeek4(3, 0x20) == pid()
		if now ~= focused then update(false) focused = now end
		if now and not own then update(true) end
	end
	function flip(...)
		real_flip(...)
		sync()
	end
	_flip = flip
	sync()
end
