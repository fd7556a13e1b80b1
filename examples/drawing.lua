-- Drawing showcase: a page for each part of the drawing kit.
--
-- Left / right, or a click: another page. The pages also turn by themselves.
--
--  1 shapes          every drawing function
--  2 fill patterns   two colours in one shape, and see-through holes
--  3 palettes        new colours, colour cycling, recolouring, palette banks
--  4 blends          shapes that darken, lighten or tint what they cover
--  5 textures        sprites, stretched sprites and a textured floor
--  6, 7 video modes  fewer, bigger pixels

-- The program makes its own screen, so that it can draw into other arrays (a
-- texture, below) and come back: a screen is a 480 x 270 array of colour
-- numbers, mapped at 0x10000 where the system shows it from.
local screen = userdata("u8", 480, 270)
_map_ram(screen, 0x10000)
_set_draw_target(screen)

local function title(text, sub)
	print("\^w\^t" .. text, 12, 8, 7)
	print(sub, 12, 28, 6)
end

-- The mouse arrives as messages from the window manager; mouse() reads them.
local mx, my, mb = 0, 0, 0
local function mouse()
	local m = _read_message()
	while m do
		if m.event == "mouse" then mx, my, mb = m.mx, m.my, m.mb end
		m = _read_message()
	end
	return mx, my, mb
end

-- Page 1: shapes ------------------------------------------------------------------

local function shapes(t)
	title("shapes", "cls pset pget line rect rectfill circ circfill oval ovalfill")
	-- pset: a field of stars drifting left.
	for i = 1, 60 do
		local x = (i * 97 - t) % 140
		local y = 50 + (i * 57) % 90
		pset(10 + x, y, i % 3 == 0 and 7 or 13)
	end
	print("pset", 12, 142, 6)
	-- line: the rays of a turning wheel (angles are in turns: 1 is a whole turn).
	for i = 0, 11 do
		local a = i / 12 + t / 600
		line(330, 95, 330 + cos(a) * 45, 95 + sin(a) * 45, 8 + i % 8)
	end
	circ(330, 95, 45, 7)
	print("line  circ", 305, 142, 6)
	-- rect and rectfill.
	for i = 0, 5 do
		local s = (t // 2 + i * 8) % 48
		rect(215 - s, 95 - s * 0.8, 215 + s, 95 + s * 0.8, 8 + i)
	end
	rectfill(207, 88, 223, 102, 10)
	print("rect  rectfill", 187, 142, 6)
	-- circfill and ovalfill: a ball squashing as it lands.
	local h = abs(sin(t / 120)) * 60
	local squash = h < 8 and (8 - h) or 0
	ovalfill(410, 205, 470, 215, 5) -- its shadow
	circfill(440, 195 - h, 14, 8)
	ovalfill(426 - squash, 181 - h + squash, 454 + squash, 209 - h, 8)
	circfill(434, 189 - h, 4, 14)
	print("circfill  ovalfill", 405, 222, 6)
	-- oval: rings.
	for i = 0, 4 do oval(30 + i * 10, 170 + i * 4, 190 - i * 10, 230 - i * 4, 12 - i) end
	print("oval", 95, 236, 6)
	-- line with one point: the points join up into a curve.
	line()
	for x = 0, 160 do line(220 + x, 195 + sin(x / 80 + t / 90) * 22, 11) end
	print("line(x, y): a chain of lines", 240, 236, 6)
	-- pget reads a pixel back.
	local px, py = 330 + cos(t / 300) * 30, 95 + sin(t / 300) * 30
	local c = pget(px, py)
	circ(px, py, 3, 7)
	print("pget = " .. c, 380, 50, 7)
end

-- Page 2: fill patterns ---------------------------------------------------------
-- A pattern is 4 x 4 bits (16 bits, the top row first); set bits draw the
-- colour word's second colour, clear bits the first. fillp(pattern) sets it;
-- colour 0xAB draws colour B with A in the set bits.

local PATTERNS = {0x5a5a, 0xcccc, 0xff00, 0x8421, 0x0660, 0x8000, 0xa0a0, 0x7bde}

local function fill_patterns(t)
	title("fill patterns", "fillp(pattern); the colour 0x0c07 draws 7 where the pattern is clear and 12 where it is set")
	for i, p in ipairs(PATTERNS) do
		local x, y = 20 + (i - 1) % 4 * 115, 48 + (i - 1) // 4 * 80
		fillp(p)
		rectfill(x, y, x + 100, y + 55, 0x0c07)
		fillp()
		rect(x, y, x + 100, y + 55, 5)
		print(string.format("0x%04x", p), x, y + 58, 6)
	end
	-- Pattern colour 0 is see-through when the colour already there takes part
	-- in the blend (the shape target mask at 0x550b): stripes over a ball.
	circfill(40 + (t % 110) * 3, 230, 16, 9)
	poke(0x550b, 0x3f)
	fillp(0xcccc)
	rectfill(20, 212, 380, 248, 0x0001)
	fillp()
	poke(0x550b, 0)
	print("pattern colour 0 shows what is behind", 20, 252, 6)
	-- Eight row bytes give an 8 x 8 pattern; shifting them each frame moves it.
	local rows = {}
	for r = 0, 7 do
		local bits = 0x0f >> (r % 4)
		local s = (t // 4) % 8
		bits = ((bits << s) | (bits >> (8 - s))) & 0xff
		rows[r + 1] = bits
	end
	fillp(table.unpack(rows))
	circfill(430, 228, 18, 0x0e08)
	fillp()
	print("fillp(8 rows)", 400, 252, 6)
end

-- Page 3: palettes ----------------------------------------------------------------
-- A pixel holds a colour number. The screen palette says which RGB colour each
-- number shows: pal(c, 0xrrggbb, 2) sets one. pal(c, c2, 1) makes number c show
-- as number c2 on the screen, without drawing anything again. pal(c, c2) makes
-- drawing in c draw c2 instead, and palt(c, true) makes c see-through.

local function rgb(c)
	local v = peek4(0x5000 + 4 * c)
	return v >> 16 & 255, v >> 8 & 255, v & 255
end

local SPRITE = userdata("u8", 16, 16)
for y = 0, 15 do
	for x = 0, 15 do
		local d = (x - 7.5) ^ 2 + (y - 7.5) ^ 2
		SPRITE:set(x, y, d < 30 and 10 or d < 56 and 9 or 0)
	end
end
for _, e in ipairs({{5, 5}, {10, 5}}) do SPRITE:set(e[1], e[2], 1) end
for _, e in ipairs({{4, 3}, {5, 3}, {4, 4}}) do SPRITE:set(e[1], e[2], 7) end -- a shine, top left
for x = 5, 10 do SPRITE:set(x, 11, 8) end

local function palettes(t)
	-- Sixteen new colours, 32 to 47, from dusk blue to orange: a sky.
	for i = 0, 15 do
		local r, g, b = 40 + i * 13, 30 + i * 7, 120 - i * 6
		pal(32 + i, r << 16 | g << 8 | b, 2)
	end
	for i = 0, 15 do rectfill(0, 40 + i * 8, 479, 47 + i * 8, 32 + i) end
	title("palettes", "pal(c, rgb, 2) new colours - pal(c, c2, 1) cycling - pal(c, c2) recolours - palt(c) see-through")
	-- Colours 48 to 55: eight shades of blue, drawn once as stripes; turning
	-- the screen palette each frame makes them flow.
	for i = 0, 7 do pal(48 + i, (20 + i * 25) << 8 | (120 + i * 16), 2) end
	for x = 0, 479 do
		local c = 48 + (x // 6 + flr(sin(x / 200) * 4)) % 8
		line(x, 168, x, 198, c)
	end
	for i = 0, 7 do pal(48 + i, 48 + (i + t // 5) % 8, 1) end
	-- The same sprite drawn four times: as it is, recoloured twice, and with
	-- its orange made see-through.
	-- (sspr draws them three times as large.)
	local function big(x) sspr(SPRITE, 0, 0, 16, 16, x, 204, 30, 30) end
	big(20)
	pal(10, 11) pal(9, 3)
	big(60)
	pal(10, 12) pal(9, 1)
	big(100)
	pal(0) -- the drawing palette back as it was
	palt(9, true)
	big(140)
	palt(9, false)
	print("pal(c, c2)  palt(c, true)", 190, 216, 7)
	-- The rows below 240 use palette bank 1 (colours 64 to 127): the same
	-- colours, seen through green water. Two bits a row, at 0x5400.
	for c = 0, 63 do
		local r, g, b = rgb(c)
		pal(64 + c, (r // 3) << 16 | (g // 2 + 60) << 8 | (b // 2 + 40), 2)
	end
	memset(0x5400 + 240 // 4, 0x55, 8)
	local x = (t * 2) % 560 - 40
	circfill(x, 246, 12, 8)
	print("palette bank 1 for the bottom rows", 240, 250, 7)
end

-- Page 4: blends --------------------------------------------------------------
-- Every pixel drawn goes through a colour table: 64 x 64 bytes that say what a
-- source colour makes over each colour already there. Colour 64 + n draws
-- through row n of table 1 at 0x9000, which we fill here.

local function nearest(r, g, b)
	local best, best_d = 0, 1e9
	for c = 0, 31 do
		local cr, cg, cb = rgb(c)
		local d = (cr - r) ^ 2 + (cg - g) ^ 2 + (cb - b) ^ 2
		if d < best_d then best, best_d = c, d end
	end
	return best
end

local blend_tables_made = false
local function make_blend_tables()
	for d = 0, 63 do
		local r, g, b = rgb(d)
		poke(0x9000 + d, nearest(r * 0.45, g * 0.45, b * 0.5))                             -- row 0: shadow
		poke(0x9040 + d, nearest(r + (255 - r) * 0.5, g + (255 - g) * 0.5, b + (255 - b) * 0.5)) -- row 1: light
		poke(0x9080 + d, nearest(r * 0.5, g * 0.6 + 40, b * 0.5 + 110))                    -- row 2: blue glass
	end
	blend_tables_made = true
end
local SHADOW, LIGHT, GLASS = 64, 65, 66

local function blends(t)
	if not blend_tables_made then pal(0) make_blend_tables() end
	-- Something to blend over: the first 16 colours, and some words.
	for c = 0, 15 do rectfill(c * 30, 40, c * 30 + 29, 259, c) end
	for i = 0, 3 do print("\^w\^tcolour tables", 60, 70 + i * 50, 7) end
	title("blends", "colour 64 + n draws through row n of table 1 (0x9000); read mask 0xff, shape target mask 0x3f")
	-- The read mask must keep bits 6 and 7 of the colour (to reach table 1), and
	-- the shape target mask lets the colour already there choose the column.
	poke(0x5508, 0xff)
	poke(0x550b, 0x3f)
	circfill(120 + cos(t / 240) * 70, 150 + sin(t / 240) * 50, 40, SHADOW)
	rectfill(260, 80 + (t % 150), 330, 130 + (t % 150), LIGHT)
	ovalfill(340 + sin(t / 200) * 50, 120, 460 + sin(t / 200) * 50, 200, GLASS)
	poke(0x5508, 0x3f)
	poke(0x550b, 0)
	print("shadow", 100, 210, 7)
	print("light", 280, 60, 7)
	print("glass", 390, 210, 7)
end

-- Page 5: sprites and textured lines ----------------------------------------------

-- A 32 x 32 texture, drawn with the usual functions after making it the
-- draw target. Textures for tline3d have sizes that are powers of two.
local texture = userdata("u8", 32, 32)
_set_draw_target(texture)
rectfill(0, 0, 31, 31, 3)
rectfill(0, 0, 15, 15, 11)
rectfill(16, 16, 31, 31, 11)
circfill(8, 8, 4, 10)
circfill(24, 24, 4, 9)
rect(0, 0, 31, 31, 1)
_set_draw_target(screen)

local function textures(t)
	cls(1)
	-- A floor: each screen row below the horizon is one textured line, reading
	-- the texture along a line of the turning, moving ground.
	local horizon, a = 120, t / 1200
	local ca, sa = cos(a), sin(a)
	local cx, cy = t * 0.6, t * 0.25
	for y = horizon + 8, 269 do
		local z = 1600 / (y - horizon)     -- how far away this row is
		local w = z * 3                    -- half its width, in texture pixels
		local fx, fy = cx + ca * z, cy + sa * z
		-- the row's left and right ends on the ground
		local u0, v0 = fx - sa * w, fy + ca * w
		local u1, v1 = fx + sa * w, fy - ca * w
		tline3d(texture, 0, y, 479, y, u0, v0, u1, v1)
	end
	-- Sky.
	for i = 0, 5 do rectfill(0, i * 21, 479, i * 21 + 20, i < 3 and 1 or 12 + (i - 3) // 2 * 16) end
	title("textures", "spr with flips - sspr stretched - blit copies - tline3d draws a floor")
	-- spr, flipped each way.
	for i = 0, 3 do spr(SPRITE, 20 + i * 24, 50, i & 1 == 1, i & 2 == 2) end
	-- sspr: the sprite stretched to a size that changes.
	local s = 24 + flr(abs(sin(t / 160)) * 40)
	sspr(SPRITE, 0, 0, 16, 16, 200 - s // 2, 80 - s // 2, s, s)
	-- blit: a raw copy of part of the screen (here, of the texture itself).
	blit(texture, screen, 0, 0, 420, 44)
	print("spr", 20, 70, 7)
	print("sspr", 190, 112, 7)
	print("blit", 425, 80, 7)
end

-- Pages 6 and 7: video modes -------------------------------------------------
-- Byte 0x547c chooses how the screen is shown: 3 shows 240 x 135 pixels twice
-- as large, 4 shows 160 x 90 three times as large. The program then draws into
-- a screen of that size, mapped at 0x10000, and puts its size at 0x5478.

local function small_screen(w, h, mode)
	local s = userdata("u8", w, h)
	return function()
		_map_ram(s, 0x10000)
		_set_draw_target(s)
		poke2(0x5478, w, h)
		poke(0x547c, mode)
	end
end
local to_mode3, to_mode4 = small_screen(240, 135, 3), small_screen(160, 90, 4)

local function scene(w, h, t, mode)
	cls(12)
	circfill(w * 0.8, h * 0.2, h // 8, 10)
	for i = 0, 3 do
		local hx = (i * w // 3 - t // 4) % (w + 60) - 30
		ovalfill(hx - 40, h * 0.6, hx + 40, h * 0.6 + 40, 3)
	end
	rectfill(0, h * 0.75, w, h, 11)
	local bx = (t // 2) % (w + 20) - 10
	local by = h * 0.75 - 6 - abs(sin(t / 80)) * h * 0.3
	circfill(bx, by, h // 20 + 1, 8)
	print("mode " .. mode .. ": " .. w .. " x " .. h, 4, 4, 7)
end

local function mode3(t)
	if t == 0 then to_mode3() end
	scene(240, 135, t, 3)
end

local function mode4(t)
	if t == 0 then to_mode4() end
	scene(160, 90, t, 4)
end

-- Turning the pages ---------------------------------------------------------------

local PAGES = {
	{"shapes", shapes}, {"fill patterns", fill_patterns}, {"palettes", palettes},
	{"blends", blends}, {"textures", textures}, {"video mode 3", mode3}, {"video mode 4", mode4},
}

-- Each page starts from the state the system gave the program.
local function reset_drawing()
	pal()                                -- tables, screen palette, RGB palette, banks
	fillp()
	poke(0x5508, 0x3f, 0x3f, 0x3f, 0)    -- read, write, sprite and shape target masks
	_map_ram(screen, 0x10000)            -- the full screen, shown as it is
	_set_draw_target(screen)
	poke2(0x5478, 480, 270)
	poke(0x547c, 0)
	camera()
	clip()
	blend_tables_made = false
end

local page, t, last_buttons = 1, 0, 0
while true do
	local _, _, buttons = mouse()
	local turn = 0
	if btnp(1) or (buttons & 1 == 1 and last_buttons & 1 == 0) or t >= 480 then turn = 1 end
	if btnp(0) then turn = -1 end
	last_buttons = buttons
	if turn ~= 0 then
		page = (page - 1 + turn) % #PAGES + 1
		t = 0
		reset_drawing()
	end
	cls(0)
	PAGES[page][2](t)
	-- Which page this is, at the foot of what is shown.
	local w, h = peek2(0x5478), peek2(0x547a)
	print(page .. "/" .. #PAGES .. " " .. PAGES[page][1], 4, h - 9, 7)
	t += 1
	flip()
end
