--@ windowed
--@ frames 300
--@ setting host_disk_limit_mb 24
--@ disk 48
--@ expect gif recording ended by itself
--@ after drive/desk/noise.gif GIF89a
-- A recording of a screen of noise at four times its size (some 20 MB a second)
-- ends before it would pass the host disk cap, leaving a whole GIF of what fitted.
poke2(0x5478, 480, 270) -- the display size and (with pal) the colours the window manager shows
pal()
mkdir("/desk")
mount("/desktop/host", "/desk")
srand(7)
for a = 0x80000, 0x80000 + 200000, 4 do poke4(a, flr(rnd(0x7fffffff))) end
-- x0, y0, width, height, scale, -, skip, silent; then the name
poke2(0x40, 0, 0, 480, 270, 4, 0, 0, 0)
for i = 0, 63 do poke(0x60 + i, 0) end
poke(0x60, ord("noise", 1, 5))
_signal(18)
local f = 0
while stat(320) == 1 do
	memcpy(0x10000, 0x80000 + (f * 4099) % 65536, 129600)
	f += 1
	flip()
end
_printh("gif recording ended by itself")
while true do flip() end
