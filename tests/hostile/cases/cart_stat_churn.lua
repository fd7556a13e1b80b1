--@ frames 200
--@ expect stat of a changed big cartridge: cpu budget exceeded in code that cannot yield
-- A 40 MB cartridge changed by one byte, then asked for its size and its bytes, which
-- writes it back at once: again and again.
local raw = '--[[orb_format="raw",metadata_format="none"]]'
local bytes, x = {}, 12345
for i = 1, 17500 do
	x = (x * 1103515245 + 12345) % 2147483648
	bytes[i] = string.char(x % 256, (x >> 8) % 256, (x >> 16) % 256, (x >> 24) % 128)
end
local file = string.rep(table.concat(bytes), 15)
-- Held exclusively while filling, so no write-back of a half-filled cartridge slows it.
_signal(40)
mkdir("/big.q64.rom")
for i = 1, 40 do store("/big.q64.rom/f" .. i .. ".bin", file, raw) end
_signal(41)
bytes, file = nil, nil
store("/big.q64.rom/tick.txt", "0", raw)
local ok, err = pcall(fstat, "/big.q64.rom")
_printh("stat of a changed big cartridge: " .. tostring(ok or err))
local n = 0
while true do
	n += 1
	store("/big.q64.rom/tick.txt", tostring(n), raw)
	pcall(fstat, "/big.q64.rom")
	pcall(fetch, "/big.q64.rom")
end
