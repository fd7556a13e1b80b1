--@ frames 300
--@ expect listing started
-- Folders of thousands of entries listed again and again, with two thousand mount
-- points in the table, and a host folder of thousands of files.
local raw = '--[[orb_format="raw",metadata_format="none"]]'
for i = 1, 6000 do store("/ram/d/f" .. i, "", raw) end
for i = 1, 2000 do mount("/ram/m" .. i, "/ram/d") end
mkdir("/h")
for i = 1, 200 do store("/h/f" .. i, "x", raw) end
ls("/ram/d")
_printh("listing started")
while true do
	ls("/ram/d")
	ls("/ram")
	ls("/h")
	ls("/")
end
