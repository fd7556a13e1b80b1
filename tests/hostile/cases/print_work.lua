--@ frames 300
--@ expect long text printed
--@ expect hostile prints stopped 4
-- One print can hold a frame with its work alone: clearing a large target for
-- each of a few bytes of text, huge inverted glyphs, glyphs repeated from a
-- few bytes, backgrounds of glyphs out of sight. Each print is charged as it
-- goes and stopped far over budget, like other native work; an ordinary long
-- text costing several frames still prints to its end.
local screen = userdata("u8", 480, 270)
_set_draw_target(screen)
local line = string.rep("ABCDEFGHIJ", 6) .. "\r"
local ok, x = pcall(_print_tesscii, string.rep(line, 2000), 0, 0, 7)
_printh(ok and x == 480 and "long text printed" or "long text: " .. tostring(ok) .. " " .. tostring(x))
local hostile = {
	{userdata("u8", 4096, 4096), string.rep("\6c0", 20000), 0},
	{screen, "\6i\6w\6t\6xz\6yz" .. string.rep("A\r", 400000), 0},
	{screen, "\6x0" .. string.rep("\1zA", 600000), 0},
	{screen, "\6w\6t\6xz\6yz\0027" .. string.rep("A\8", 300000), -50},
}
-- Not stopped, but quick: pokes from the text, and big dotty glyphs with borders.
local quick = {
	{screen, string.rep("\6@8000ffff" .. string.rep("x", 0xffff), 16), 0},
	{screen, "\6p\6b\6xz" .. string.rep("\1z\255", 1000), 0},
}
local function round()
	local stopped = 0
	for _, h in ipairs(hostile) do
		_set_draw_target(h[1])
		local done, err = pcall(_print_tesscii, h[2], h[3], 0, 7)
		if not done and tostring(err):find("cpu budget exceeded", 1, true) then stopped += 1 end
	end
	for _, q in ipairs(quick) do
		_set_draw_target(q[1])
		_print_tesscii(q[2], q[3], 0, 7)
	end
	return stopped
end
_printh("hostile prints stopped " .. round())
while true do round() end
