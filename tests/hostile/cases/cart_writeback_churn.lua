--@ frames 200
--@ paced
--@ expect big cartridge filled
-- A cartridge of 40 MB that compresses badly, changed by one byte again and again:
-- each change makes the whole cartridge due to be written back.
local raw = '--[[orb_format="raw",metadata_format="none"]]'
local bytes, x = {}, 12345
for i = 1, 17500 do
	x = (x * 1103515245 + 12345) % 2147483648
	bytes[i] = string.char(x % 256, (x >> 8) % 256, (x >> 16) % 256, (x >> 24) % 128)
end
local block = table.concat(bytes)
local file = string.rep(block, 15)
-- Held exclusively while filling, so no write-back of a half-filled cartridge slows it.
_signal(40)
mkdir("/big.q64.rom")
for i = 1, 40 do store("/big.q64.rom/f" .. i .. ".bin", file, raw) end
_signal(41)
_printh("big cartridge filled")
local n = 0
while true do
	n += 1
	store("/big.q64.rom/tick.txt", tostring(n), raw)
	flip()
end
