--@ frames 40
--@ expect edited while exclusive
--@ after drive/game.q64 edited-while-exclusive
-- A cartridge edited while this process holds the system exclusively: quitting
-- the host must still write the edit back.
local raw = '--[[orb_format="raw",metadata_format="none"]]'
_signal(40)
mkdir("/game.q64")
store("/game.q64/data.txt", "edited-while-exclusive", raw)
_printh("edited while exclusive")
while true do flip() end
