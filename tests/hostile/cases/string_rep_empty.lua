--@ frames 40
--@ expect rep returned
-- string.rep of empty pieces returns at once, whatever the count.
local r = string.rep("", math.maxinteger)
local r2 = string.rep("", math.maxinteger, "")
_printh(r == "" and r2 == "" and "rep returned" or "rep wrong")
-- Long results are charged: the program keeps running, frame by frame.
local n = 0
while true do
	local ok = pcall(string.rep, "ab", 1 << 22, "")
	n = n + 1
	pcall(string.rep, "x", math.maxinteger // 2)
end
