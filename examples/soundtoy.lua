-- Sound toy: the keyboard is a small synthesiser.
--
-- Play:   Z S X D C V G B H N J M ,   one octave (the lower row of letters)
--         Q 2 W 3 E R 5 T 6 Y 7 U I   the octave above
--         up / down    octave        left / right   waveform
--         space        echo on / off
--
-- The synthesiser plays only what a program writes into its own memory: here
-- one instrument, made of three nodes and an envelope. Each key held gets a
-- channel of its own; the screen shows what the audio engine reports about
-- every channel, and the sound it is mixing.

-- Where the sound data lives. The system sets byte 0x553c to 3: instruments
-- then start at 0x30000 + 0x10000, each 512 bytes long. We use instrument 0.
local INSTRUMENT = 0x40000

-- Each node of an instrument has seven modulated values (mvals). An mval is
-- four bytes: flags, value a, value b, and envelope number plus scaling.
local ADD, MUL, ENV = 1, 2, 4 -- flags: add to / multiply with the parent's value; follow an envelope
local PASS = {ADD, 0, 0, 0}   -- add 0: the parent's value as it is
local function fixed(v) return {0, v, 0, 0} end -- neither ADD nor MUL: the value itself

-- Node n of the instrument: 32 bytes. byte 0: parent node and how the node's
-- sound joins it (op 0 adds); byte 1: kind (1 bus, 2 oscillator, 9 echo) and
-- wavetable; then the mvals 0..6, whose meaning depends on the kind.
local BUS, OSCILLATOR, ECHO = 1, 2, 9
local function node(n, parent, kind, mvals)
	local a = INSTRUMENT + 32 * n
	poke(a, parent, kind, 0, 0)
	for j = 0, 6 do poke(a + 4 + 4 * j, table.unpack(mvals[j + 1] or PASS)) end
end

local wave = 0       -- 0..255: the wavetable row, from sine through saws to pulses
local echo_on = true

local function -- The engine reads the instrument afresh every tick (1/120 s), so writing it
-- again (a new wave, the echo on or off) changes the notes already sounding.
write_instrument()
	-- Node 0, the output: a bus that takes the note's volume (mval 0 multiplied
	-- by 64 is unity) and its pitch (mvals 2 and 3, passed on).
	node(0, 0, BUS, {{MUL, 64, 0, 0}})
	-- Node 1: an oscillator under node 0. Its loudness (mval 0) follows
	-- envelope 0 from 0 up to unity; mval 4 picks the wavetable row.
	node(1, 0, OSCILLATOR, {{MUL | ENV, 64, 0, 0}, PASS, PASS, PASS, fixed(wave)})
	-- Node 2: an echo working on node 0's sound. mval 0 is the delay in steps
	-- of 126 samples (80: about 0.23 s), mval 1 the feedback in 256ths.
	-- A node of kind 0 (empty) does nothing: that is the echo turned off.
	node(2, 0, echo_on and ECHO or 0, {fixed(80), fixed(echo_on and 110 or 0)})
	-- Envelope 0 (24 bytes at 0x100): an ADSR. Byte 0 is the type (0 ADSR);
	-- bytes 8..11 attack, decay, sustain level (0..255) and release. Times are
	-- codes: below 16 they are ticks of 1/120 s, larger codes grow faster.
	poke(INSTRUMENT + 0x100, 0, 0, 0, 0, 0, 0, 0, 0, 2, 40, 120, 44)
	-- Wavetable 0 (4 bytes at 0x1e0): the system's tables at 0xf80000, rows
	-- of 1024 samples, 255 rows: sine to triangle, skewed triangles, saws and pulses.
	poke(INSTRUMENT + 0x1e0, 0x00, 0xf8, 10, 255)
end
write_instrument()

-- Keys (by scancode) and the semitone each plays above the octave's C.
local KEYS = {
	[29] = 0, [22] = 1, [27] = 2, [7] = 3, [6] = 4, [25] = 5, [10] = 6, -- z s x d c v g
	[5] = 7, [11] = 8, [17] = 9, [13] = 10, [16] = 11, [54] = 12,         -- b h n j m ,
	[20] = 12, [31] = 13, [26] = 14, [32] = 15, [8] = 16, [21] = 17,      -- q 2 w 3 e r
	[34] = 18, [23] = 19, [35] = 20, [28] = 21, [36] = 22, [24] = 23, [12] = 24, -- 5 t 6 y 7 u i
}
-- The letter on each key of the picture: the lower row, then the upper row.
local LABELS = {"z", "s", "x", "d", "c", "v", "g", "b", "h", "n", "j", "m",
	"q", "2", "w", "3", "e", "r", "5", "t", "6", "y", "7", "u", "i"}
local UP, DOWN, LEFT, RIGHT, SPACE = 82, 81, 80, 79, 44

local octave = 4      -- pitch 48 (C of octave 4) is middle C
local held = {}       -- scancode -> channel
local playing = {}    -- channel -> semitone above the low C, while held
local VOICES = 8      -- channels 0..7

local function key_down(code)
	local semi = KEYS[code]
	if semi == nil or held[code] then return end
	for ch = 0, VOICES - 1 do
		if playing[ch] == nil then
			held[code], playing[ch] = ch, semi
			-- note(pitch, instrument, volume, effect, parameter, channel)
			note(octave * 12 + semi, 0, 24, 0, 0, ch)
			return
		end
	end
end

local function key_up(code)
	local ch = held[code]
	if ch == nil then return end
	held[code], playing[ch] = nil, nil
	-- A note without a pitch (255 keeps the old one) lets go of the key: the
	-- envelope's release begins. The last argument asks for no restart.
	note(255, 255, 255, 255, 0, ch, false)
end

-- The window manager sends the focused program its keys as messages.
local function read_keys()
	local m = _read_message()
	while m do
		if m.event == "keydown" then
			local c = m.scancode
			if c == UP then octave = min(octave + 1, 7)
			elseif c == DOWN then octave = max(octave - 1, 1)
			elseif c == LEFT or c == RIGHT then
				wave = mid(0, wave + (c == RIGHT and 16 or -16), 240)
				write_instrument()
			elseif c == SPACE then
				echo_on = not echo_on
				write_instrument()
			else
				key_down(c)
			end
		elseif m.event == "keyup" then
			key_up(m.scancode)
		end
		m = _read_message()
	end
end

-- Drawing ------------------------------------------------------------------

local NAMES = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"}
local function note_name(p) return NAMES[p % 12 + 1] .. (p // 12) end

local BLACK_KEY = {[1] = true, [3] = true, [6] = true, [8] = true, [10] = true}

local function lit(semi)
	for _, s in pairs(playing) do if s == semi then return true end end
	return false
end

-- Two octaves and a C: white keys 14 pixels wide, black keys over them.
local function draw_piano(x0, y0)
	local x = x0
	local whites = {}
	for semi = 0, 24 do
		if not BLACK_KEY[semi % 12] then
			whites[semi] = x
			rectfill(x, y0, x + 12, y0 + 56, lit(semi) and 10 or 7)
			rect(x, y0, x + 12, y0 + 56, 5)
			x += 14
		end
	end
	for semi = 0, 24 do
		if BLACK_KEY[semi % 12] then
			local bx = whites[semi - 1] + 8
			rectfill(bx, y0, bx + 9, y0 + 33, lit(semi) and 9 or 0)
		end
	end
	-- The key that plays each note, written on it.
	for semi = 0, 24 do
		if BLACK_KEY[semi % 12] then
			print(LABELS[semi + 1], whites[semi - 1] + 11, y0 + 24, 7)
		else
			print(LABELS[semi + 1], whites[semi] + 5, y0 + 46, 5)
		end
	end
end

-- stat(400 + channel, field) asks the audio engine about a channel: field 0
-- is whether its note is on, 1 the instrument, 2 the volume, 4 the pitch.
-- Field 20 copies the last tick of node 0's output into memory.
local SCRATCH = 0x80000
local function channel_level(ch)
	local n = stat(400 + ch, 20, SCRATCH)
	local peak = 0
	if n > 0 then
		for _, v in ipairs({peek2(SCRATCH, min(n, 367))}) do peak = max(peak, abs(v)) end
	end
	return peak
end

local function draw_channels(x0, y0)
	print("channel  note  vol  level", x0, y0, 6)
	for ch = 0, VOICES - 1 do
		local y = y0 + 12 + ch * 12
		local on = stat(400 + ch, 0) == 1
		local inst = stat(400 + ch, 1)
		print(tostring(ch), x0 + 12, y, on and 11 or 5)
		if inst >= 0 and inst ~= 255 then
			print(note_name(flr(stat(400 + ch, 4))), x0 + 40, y, on and 7 or 5)
			print(tostring(flr(stat(400 + ch, 2))), x0 + 72, y, 6)
		else
			print("-", x0 + 40, y, 5)
		end
		-- The level bar shows the envelope at work: attack, decay, sustain, release.
		local w = flr(channel_level(ch) * 100 / 32768)
		rectfill(x0 + 100, y + 1, x0 + 200, y + 6, 1)
		if w > 0 then rectfill(x0 + 100, y + 1, x0 + 100 + w, y + 6, on and 11 or 3) end
	end
end

-- stat(465, 0, address) copies the sound last mixed (left and right samples,
-- 16 bits each) into memory and says how many sample pairs it copied.
local function draw_scope(y0, h)
	rectfill(0, y0, 479, y0 + h, 1)
	line(0, y0 + h // 2, 479, y0 + h // 2, 2)
	local n = stat(465, 0, SCRATCH)
	if n < 2 then return end
	local count = min(n, 480)
	local samples = {peek2(SCRATCH, 2 * count)}
	line() -- start a new chain of lines
	for i = 0, count - 1 do
		local y = y0 + h // 2 - samples[2 * i + 1] * (h // 2) // 32768
		line(i, y, 12)
	end
end

-- What the rows of the system's wavetables sound like, 16 rows a step.
local WAVE_NAMES = {[0] = "sine", "sine", "triangle", "triangle", "skewed", "skewed", "skewed", "skewed",
	"saw", "saw", "saw", "saw", "square", "pulse", "pulse", "pulse"}

while true do
	read_keys()
	cls(0)
	print("\^w\^tsound toy", 16, 8, 12)
	print("keys play notes  -  up/down octave " .. octave .. "  -  left/right wave: "
		.. WAVE_NAMES[wave // 16] .. "  -  space echo: " .. (echo_on and "on" or "off"), 16, 30, 6)
	draw_piano(16, 50)
	draw_channels(270, 50)
	draw_scope(160, 100)
	print("what is being mixed", 4, 162, 5)
	flip()
end
