-- Gem maze: collect every gem, keep away from the slime.
--
-- Arrow keys walk; or click a place with the mouse and the explorer walks there.
-- Each gem is worth 10 points; the slime sends you back to the start and costs 5.
--
-- Everything is made here in code: the sprites, the map, the instruments, the
-- sound effects and the music.

-- Sprites ------------------------------------------------------------------
-- A sprite is a 16 x 16 array of colour numbers ("u8": one byte a pixel).
-- _set_spr(n, sprite) puts it in slot n, where spr() and the map find it.
-- Colour 0 is see-through when a sprite is drawn.

local COLOURS = { -- the letters of the pictures below
	["."] = 0, k = 1, r = 8, o = 9, y = 10, g = 11, d = 3, b = 12, w = 7,
	l = 6, s = 15, p = 14, n = 4, m = 5, v = 13, t = 2,
}

local function sprite_from(rows, under)
	local s = userdata("u8", 16, 16)
	for y = 0, 15 do
		for x = 0, 15 do
			local c = COLOURS[rows[y + 1]:sub(x + 1, x + 1)]
			if c == 0 and under then c = under:get(x, y) end -- show the tile below
			s:set(x, y, c)
		end
	end
	return s
end

-- A sprite can also be computed pixel by pixel.
local function sprite_by(f)
	local s = userdata("u8", 16, 16)
	for y = 0, 15 do for x = 0, 15 do s:set(x, y, f(x, y)) end end
	return s
end

local FLOOR, WALL, GEM = 1, 2, 3 -- sprite numbers; the map holds these
local PLAYER, PLAYER_STEP, SLIME, SLIME_SQUASH = 8, 9, 10, 11

local floor = sprite_by(function(x, y)
	if (x * 7 + y * 13) % 23 == 0 then return 11 end -- tufts of grass
	return 3
end)
local wall = sprite_by(function(x, y)
	-- Stone blocks eight pixels high, every other row shifted by half a block.
	local bx = (x + (y // 8 % 2) * 4) % 8
	if y % 8 == 7 or bx == 7 then return 5 end
	if y % 8 == 0 or bx == 0 then return 6 end
	return 13
end)

local GEM_ROWS = {
	"................",
	"................",
	"......kkkk......",
	".....kbbbbk.....",
	"....kbwbbbbk....",
	"...kbwwbbbbbk...",
	"..kbbwbbbbbbvk..",
	"..kbbbbbbbbbvk..",
	"...kbbbbbbvvk...",
	"....kbbbbvvk....",
	".....kbbvvk.....",
	"......kvvk......",
	".......kk.......",
	"................",
	"................",
	"................",
}
-- A copy of a picture with some of its rows changed.
local function with_rows(rows, changed)
	local out = {}
	for i, row in ipairs(rows) do out[i] = changed[i] or row end
	return out
end

-- The second gem picture has a glint; the map's gems switch between the two.
local GLINT_ROWS = with_rows(GEM_ROWS, {
	[2] = "............w...",
	[3] = "......kkkk.www..",
	[4] = ".....kbbbbk.w...",
})
local gem_frames = {sprite_from(GEM_ROWS, floor), sprite_from(GLINT_ROWS, floor)}

local EXPLORER = {
	"................",
	".....kkkkkk.....",
	"....krrrrrrk....",
	"...krrrrrrrrk...",
	"..kkkkkkkkkkkk..",
	"...ksssssssk....",
	"...kswkssswkk...",
	"...kskksssskk...",
	"...ksssssssk....",
	"....kssppsk.....",
	"...kkbbbbbbkk...",
	"..ksbbbbbbbbsk..",
	"..kkbbbbbbbbkk..",
	"....kbbkkbbk....",
	"....knnk.knnk...",
	"....kkkk.kkkk...",
}
local EXPLORER_STEP = with_rows(EXPLORER, {
	[14] = "....kbbkkbbk....",
	[15] = "...knnk..knnk...",
	[16] = "...kkkk..kkkk...",
})

local SLIME_ROWS = {
	"................",
	"................",
	"................",
	"................",
	"......kkkk......",
	"....kkggggkk....",
	"...kggggggggk...",
	"..kggwkggwkggk..",
	"..kggkkggkkggk..",
	".kgggggggggdggk.",
	".kggggkkkkgdggk.",
	".kgggggggggggdk.",
	"kgggggggggggdddk",
	"kdgggggggggddddk",
	".kkkkkkkkkkkkkk.",
	"................",
}
local SLIME_FLAT = {}
for i = 1, 16 do SLIME_FLAT[i] = SLIME_ROWS[i] end
table.remove(SLIME_FLAT, 7) -- squashed: one row lower
table.insert(SLIME_FLAT, 1, "................")

_set_spr(FLOOR, floor)
_set_spr(WALL, wall)
_set_spr(GEM, gem_frames[1])
_set_spr(PLAYER, sprite_from(EXPLORER))
_set_spr(PLAYER_STEP, sprite_from(EXPLORER_STEP))
_set_spr(SLIME, sprite_from(SLIME_ROWS))
_set_spr(SLIME_SQUASH, sprite_from(SLIME_FLAT))

-- The map --------------------------------------------------------------------
-- A map is an array of 16-bit cells ("i16"), each a sprite number. Put at
-- 0x100000 it becomes the current map that mget and mset read and write.

local MAP_W, MAP_H, TILE, TOP = 30, 16, 16, 14 -- the map is drawn below a 14-pixel bar
local LEVEL = {
	"##############################",
	"#.............#..............#",
	"#.####.######.#.######.#####.#",
	"#.#..........................#",
	"#.#.####.###.####.###.######.#",
	"#...#......#......#........#.#",
	"###.#.####.#.####.#.######.#.#",
	"#...........#...........#....#",
	"#.#####.###.#.#####.###.#.####",
	"#.....#...#...#.......#......#",
	"#.###.###.#####.#####.####.#.#",
	"#.#..........................#",
	"#.#.######.####.####.######..#",
	"#......#..............#......#",
	"#.####...####.####.##...####.#",
	"##############################",
}
local map = userdata("i16", MAP_W, MAP_H)
_map_ram(map, 0x100000)

local function free(cx, cy) return mget(cx, cy) ~= WALL end

local START_X, START_Y = 1, 1
local gems_left, level = 0, 1

local function new_level()
	for y = 0, MAP_H - 1 do
		for x = 0, MAP_W - 1 do
			mset(x, y, LEVEL[y + 1]:sub(x + 1, x + 1) == "#" and WALL or FLOOR)
		end
	end
	-- Scatter gems on free floor, away from the start.
	gems_left = 0
	while gems_left < 10 + 2 * level do
		local x, y = flr(rnd(MAP_W)), flr(rnd(MAP_H))
		if mget(x, y) == FLOOR and x + y > 4 then
			mset(x, y, GEM)
			gems_left += 1
		end
	end
end

-- Sound --------------------------------------------------------------------
-- The synthesiser plays only what the program writes into its memory. With
-- the system's settings (bytes 0x553c and 0x553d are 3) instrument i is at
-- 0x40000 + 512 i, sound track t at 0x50000 + 328 t and music pattern p at
-- 0x30100 + 20 p.

local ADD, MUL, ENV = 1, 2, 4
local PASS = {ADD, 0, 0, 0}
local function fixed(v) return {0, v, 0, 0} end

-- An instrument: a bus (node 0) that takes the note's volume, over one
-- oscillator (node 1) whose loudness follows an ADSR envelope.
--   wave: the wavetable row, 0 sine .. 63 triangle .. 128 saw .. 192 square
--   attack, decay, release: duration codes; sustain: 0..255
local function instrument(i, wave, attack, decay, sustain, release)
	local a = 0x40000 + 512 * i
	local function node(n, parent, kind, mvals)
		poke(a + 32 * n, parent, kind, 0, 0)
		for j = 0, 6 do poke(a + 32 * n + 4 + 4 * j, table.unpack(mvals[j + 1] or PASS)) end
	end
	node(0, 0, 1, {{MUL, 64, 0, 0}})
	node(1, 0, 2, {{MUL | ENV, 64, 0, 0}, PASS, PASS, PASS, fixed(wave)})
	poke(a + 0x100, 0, 0, 0, 0, 0, 0, 0, 0, attack, decay, sustain, release)
	poke(a + 0x1e0, 0x00, 0xf8, 10, 255) -- the system's wavetables
end
local LEAD, BASS, BLIP = 0, 1, 2
instrument(LEAD, 200, 1, 20, 90, 24)
instrument(BASS, 50, 1, 40, 160, 30)
instrument(BLIP, 0, 0, 14, 0, 10)

-- Note names as the tracks below spell them: c4 is pitch 48, middle C.
local SEMITONE = {c = 0, d = 2, e = 4, f = 5, g = 7, a = 9, b = 11}
local function pitch(word)
	local name, sharp, oct = word:match("^(%a)(#?)(%d)$")
	if not name then return 255 end -- ".": nothing new in this row
	return oct * 12 + SEMITONE[name] + (sharp == "#" and 1 or 0)
end

-- A track: rows of notes played one after another, speed ticks (1/120 s)
-- a row. Its record: length, speed, loop rows and delay, then five columns
-- of one byte per row: pitch, instrument, volume, effect and its parameter.
local function track(t, speed, inst, volume, notes, effect, param)
	local a = 0x50000 + 328 * t
	local rows = {}
	for word in notes:gmatch("%S+") do rows[#rows + 1] = word end
	local n = #rows
	poke(a, n, 0, speed, 0, 0, 0, 0, 0)
	for i = 0, n - 1 do
		local p = pitch(rows[i + 1])
		local sounding = p ~= 255
		poke(a + 8 + i, p)
		poke(a + 8 + n + i, sounding and inst or 255)
		poke(a + 8 + 2 * n + i, sounding and volume or 255)
		poke(a + 8 + 3 * n + i, effect and ord(effect) or 0)
		poke(a + 8 + 4 * n + i, param or 0)
	end
end

-- Sound effects, started with sfx(track).
local SFX_GEM, SFX_OUCH, SFX_LEVEL = 0, 1, 2
track(SFX_GEM, 3, BLIP, 26, "e6 g6 c7")
track(SFX_OUCH, 24, LEAD, 32, "c5", "-", 80) -- effect "-": the pitch falls
track(SFX_LEVEL, 6, LEAD, 32, "c5 e5 g5 c6 . g5 c6 . . .")

-- The music: two patterns, each playing a tune (channel 0) over a bass line
-- (channel 1). A pattern record names a track for each channel, then flags
-- (1: a loop starts here, 2: go back to the loop's start) and a mask of the
-- channels it uses.
track(8, 12, LEAD, 22, "e5 . . . g5 . e5 . c5 . d5 . e5 . . . d5 . c5 . a4 . c5 . d5 . . . . . . .")
track(9, 12, BASS, 28, "c3 . . . c3 . g2 . a2 . . . a2 . e2 . f2 . . . f2 . c3 . g2 . . . g2 . b2 .")
track(10, 12, LEAD, 22, "a5 . g5 . e5 . c5 . d5 . e5 . g5 . . . f5 . e5 . d5 . b4 . c5 . . . . . . .")
track(11, 12, BASS, 28, "f2 . . . f2 . c3 . e2 . . . e2 . a2 . d2 . . . g2 . . . c3 . g2 . c3 . . .")
local function pattern(p, tracks, flags)
	poke(0x30100 + 20 * p, tracks[1], tracks[2], 0, 0, 0, 0, 0, 0, flags, 3)
end
pattern(0, {8, 9}, 1)
pattern(1, {10, 11}, 2)
-- music(pattern, fade in ms, channels the music may use): channels 0 and 1,
-- so sound effects play on the others.
music(0, 0, 3)

-- The mouse ----------------------------------------------------------------
-- The window manager sends the focused program its mouse as messages:
-- mouse() reads them and gives the pointer's latest place and buttons.
local mx, my, mb = -1, -1, 0
local function mouse()
	local m = _read_message()
	while m do
		if m.event == "mouse" then mx, my, mb = m.mx, m.my, m.mb end
		m = _read_message()
	end
	return mx, my, mb
end

-- Walking ------------------------------------------------------------------
-- The explorer and the slime walk from tile to tile. Each has a tile (cx, cy),
-- a direction of travel (dx, dy) and how far it has come towards the next tile.

local DIRS = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}} -- buttons 0..3: left, right, up, down

local player = {cx = START_X, cy = START_Y, dx = 0, dy = 0, moved = 0, speed = 2, face_left = false}
local slime = {cx = 16, cy = 7, dx = 1, dy = 0, moved = 0, speed = 1}
local score, flash, path = 0, 0, nil

local function step(walker)
	if walker.dx == 0 and walker.dy == 0 then return false end
	walker.moved += walker.speed
	if walker.moved >= TILE then
		walker.cx += walker.dx
		walker.cy += walker.dy
		walker.moved = 0
		return true -- arrived at a tile
	end
	return false
end

local function place(walker)
	return walker.cx * TILE + walker.dx * walker.moved, TOP + walker.cy * TILE + walker.dy * walker.moved
end

-- The shortest way through the maze from one tile to another, found breadth
-- first: a list of directions, or nil when there is none.
local function way(fx, fy, tx, ty)
	if not free(tx, ty) then return nil end
	local from = {[fy * MAP_W + fx] = false}
	local queue, head = {fx, fy}, 1
	while head < #queue do
		local x, y = queue[head], queue[head + 1]
		head += 2
		if x == tx and y == ty then
			local dirs = {}
			local k = y * MAP_W + x
			while from[k] do
				local d = from[k]
				table.insert(dirs, 1, d)
				x, y = x - DIRS[d][1], y - DIRS[d][2]
				k = y * MAP_W + x
			end
			return dirs
		end
		for d, v in ipairs(DIRS) do
			local nx, ny = x + v[1], y + v[2]
			local k = ny * MAP_W + nx
			if from[k] == nil and free(nx, ny) then
				from[k] = d
				queue[#queue + 1], queue[#queue + 2] = nx, ny
			end
		end
	end
	return nil
end

local function choose_direction()
	-- Buttons first; a button held cancels a walk to the mouse.
	for b = 0, 3 do
		if btn(b) then
			path = nil
			local v = DIRS[b + 1]
			if free(player.cx + v[1], player.cy + v[2]) then return v[1], v[2] end
		end
	end
	if path and #path > 0 then
		local v = DIRS[table.remove(path, 1)]
		return v[1], v[2]
	end
	return 0, 0
end

local function update_player()
	local at_tile = player.dx == 0 and player.dy == 0 or step(player)
	if not at_tile then return end
	if mget(player.cx, player.cy) == GEM then
		mset(player.cx, player.cy, FLOOR)
		score += 10
		gems_left -= 1
		sfx(SFX_GEM)
		if gems_left == 0 then
			level += 1
			slime.speed = min(slime.speed + 0.5, 2)
			sfx(SFX_LEVEL)
			flash = 90
			new_level()
		end
	end
	player.dx, player.dy = choose_direction()
	if player.dx ~= 0 then player.face_left = player.dx < 0 end
	if player.dx ~= 0 or player.dy ~= 0 then step(player) end
end

local function update_slime()
	if not step(slime) and slime.moved > 0 then return end
	-- At a tile: go on if it can, else turn to a random free way.
	local ways = {}
	for _, v in ipairs(DIRS) do
		local back = v[1] == -slime.dx and v[2] == -slime.dy
		if free(slime.cx + v[1], slime.cy + v[2]) and not back then ways[#ways + 1] = v end
	end
	if #ways == 0 then slime.dx, slime.dy = -slime.dx, -slime.dy
	elseif not free(slime.cx + slime.dx, slime.cy + slime.dy) or rnd(1) < 0.3 then
		local v = rnd(ways)
		slime.dx, slime.dy = v[1], v[2]
	end
	step(slime)
end

local function caught()
	local px, py = place(player)
	local sx, sy = place(slime)
	return abs(px - sx) < 11 and abs(py - sy) < 11
end

-- The main loop --------------------------------------------------------------

new_level()
local frame, last_buttons = 0, 0
while true do
	frame += 1
	-- A click on the map: walk there, from the tile the explorer is heading for.
	local x, y, buttons = mouse()
	if buttons & 1 == 1 and last_buttons & 1 == 0 and y >= TOP then
		path = way(player.cx + player.dx, player.cy + player.dy, x // TILE, (y - TOP) // TILE)
	end
	last_buttons = buttons

	update_player()
	update_slime()
	if caught() then
		score = max(score - 5, 0)
		sfx(SFX_OUCH)
		player.cx, player.cy, player.dx, player.dy, player.moved, path = START_X, START_Y, 0, 0, 0, nil
	end

	-- The gems glint: every map cell with sprite 3 shows whatever slot 3 holds.
	_set_spr(GEM, gem_frames[frame // 20 % 2 + 1])

	cls(0)
	-- _draw_map(map, first column, first row, x, y, columns, rows, flags, tile width, tile height)
	_draw_map(map, 0, 0, 0, TOP, MAP_W, MAP_H, 0, TILE, TILE)
	local sx, sy = place(slime)
	spr(frame // 16 % 2 == 0 and SLIME or SLIME_SQUASH, sx, sy)
	local px, py = place(player)
	local walking = (player.dx ~= 0 or player.dy ~= 0) and frame // 6 % 2 == 1
	spr(walking and PLAYER_STEP or PLAYER, px, py, player.face_left) -- flipped when facing left

	-- The score in text, on a bar at the top.
	rectfill(0, 0, 479, TOP - 1, 1)
	print("score " .. score, 4, 3, 7)
	print("gems left " .. gems_left, 80, 3, 12)
	print("level " .. level, 170, 3, 10)
	print("arrow keys or click to walk", 330, 3, 6)
	if flash > 0 then
		flash -= 1
		print("\^w\^tlevel " .. level .. "!", 190, 120, frame // 4 % 2 == 0 and 10 or 9)
	end

	-- The system hides the host's pointer, so the program draws its own.
	if mx >= 0 then
		line(mx - 4, my, mx + 4, my, 7)
		line(mx, my - 4, mx, my + 4, 7)
	end
	flip()
end
