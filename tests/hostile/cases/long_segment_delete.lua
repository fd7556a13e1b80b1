--@ frames 30
--@ expect important kept
--@ expect ram folder kept
--@ after drive/important.txt data
-- A path segment of 255 characters must make the path illegal, not vanish from it.
local raw = '--[[orb_format="raw",metadata_format="none"]]'
local long = string.rep("x", 255)
store("/important.txt", "data", raw)
_fdelete("/important.txt/" .. long)
_printh(fetch("/important.txt") == "data" and "important kept" or "important LOST")
mkdir("/ram/folder")
store("/ram/folder/a.txt", "a", raw)
_fdelete("/ram/folder/" .. long)
_fdelete("/ram/folder/" .. long .. "/..")
_printh(fetch("/ram/folder/a.txt") == "a" and "ram folder kept" or "ram folder LOST")
