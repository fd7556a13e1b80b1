--@ frames 150
--@ paced
--@ expect card label stored
--@ after drive/c.q64.png \x89PNG
-- A cartridge card's label is printed when the card is written back, outside any
-- program's slice: a title of a million huge inverted glyphs is printed only as
-- far as a label's work goes, and neither the write-back frame nor the exit
-- (which writes the card again) holds the host.
mkdir("/c.q64.png")
store("/c.q64.png/main.lua", "x=1")
store("/c.q64.png/.info.orb", '{title="\6i\6w\6t\6xz\6yz' .. string.rep("A\r", 1000000) .. '"}',
	'--[[orb_format="raw",metadata_format="none"]]')
_printh("card label stored")
local n = 0
while true do
	n += 1
	-- Changed again now and then: written back again.
	if n % 40 == 0 then store("/c.q64.png/n.txt", tostring(n)) end
	flip()
end
