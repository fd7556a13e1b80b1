--@ frames 300
--@ expect cartridges made
-- Two thousand new cartridges on the drive and in RAM, each changed again and again,
-- so that the mount table stays at its limit and every cartridge keeps coming due.
local raw = '--[[orb_format="raw",metadata_format="none"]]'
for i = 1, 1100 do mkdir("/c" .. i .. ".q64") end
for i = 1, 1100 do mkdir("/ram/c" .. i .. ".q64") end
_printh("cartridges made")
local n = 0
while true do
	n += 1
	local i = n % 1100 + 1
	store("/c" .. i .. ".q64/main.lua", "print(" .. n .. ")", raw)
	store("/ram/c" .. i .. ".q64/main.lua", "print(" .. n .. ")", raw)
	pcall(fstat, "/c" .. i .. ".q64")
end
