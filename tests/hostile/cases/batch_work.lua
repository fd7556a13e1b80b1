--@ frames 300
--@ expect sprite batch drawn 10000
--@ expect hostile batches stopped 4
-- Each item of a batch is bounded, but not their sum: up to 262,144 items a
-- call. Batches are charged item by item as they are drawn and stopped far
-- over budget, like other native work; an ordinary batch of 10,000 sprites
-- costing a few frames still draws every item.
local function items(per, n, ...)
	local b = userdata("f64", per, n)
	local v = {...}
	for i = 0, n - 1 do
		for k = 1, per do b:set(k - 1, i, type(v[k]) == "function" and v[k](i) or v[k]) end
	end
	return b
end
local screen = userdata("u8", 480, 270)
_set_draw_target(screen)
poke(0x5508, 0x3f, 0x3f, 0x3f, 0)
pal()
local small = userdata("u8", 16, 16)
small:add(1, true)
_set_spr(1, small)
-- 10,000 sprites over a grid of 30 x 16 cells, each drawn about 20 times.
local ok = pcall(spr, items(3, 10000, 1, function(i) return i % 30 * 16 end, function(i) return i // 30 % 16 * 16 end))
_printh(ok and pget(479, 255) == 1 and pget(0, 260) == 0 and "sprite batch drawn 10000" or "sprite batch not drawn")
-- The same item again and again (stride 0).
local whole = userdata("u8", 480, 270)
_set_spr(2, whole)
local texture = userdata("u8", 64, 64)
_set_spr(3, texture)
local big = userdata("u8", 4096, 4096)
local hostile = {
	{screen, spr, items(3, 1, 2, 0, 0), 3},
	{screen, circfill, items(4, 1, 240, -1400000, 1400100, 7), 4},
	{big, rectfill, items(5, 1, 0, 0, 4095, 4095, 7), 5, 2000},
	{big, tline3d, items(5, 1, 3, 0, 100, 4095, 100), 5},
}
local function round()
	local stopped = 0
	for _, h in ipairs(hostile) do
		_set_draw_target(h[1])
		local done, err = pcall(h[2], h[3], 0, h[5] or 262144, h[4], 0)
		if not done and tostring(err):find("cpu budget exceeded", 1, true) then stopped += 1 end
	end
	return stopped
end
_printh("hostile batches stopped " .. round())
while true do round() end
