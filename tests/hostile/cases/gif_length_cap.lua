--@ windowed
--@ frames 300
--@ args -gif_len 1
--@ expect gif ended at its length: ok
--@ after drive/desk/short.gif GIF89a
-- A recording nobody stops ends by itself after the length -gif_len gives.
mkdir("/desk")
mount("/desktop/host", "/desk")
poke2(0x40, 0, 0, 64, 32, 1, 0, 0, 0)
for i = 0, 63 do poke(0x60 + i, 0) end
poke(0x60, ord("short", 1, 5))
_signal(18)
local f, last = 0, 0
while stat(320) == 1 do
	last = stat(321)
	cls(f % 16)
	f += 1
	flip()
end
-- One second of frames made, every second one recorded.
_printh("gif ended at its length: " .. ((last == 29 or last == 30) and "ok" or tostring(last)))
while true do flip() end
