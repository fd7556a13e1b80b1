--@ frames 200
--@ expect A\tfalse\t
--@ expect F\tfalse\t
--@ expect second stop caught
-- After one runaway native call is stopped and caught, the instruction that a
-- budget yield lets run next may be a call: a second stop in the same frame is
-- raised inside the call that overran, so its own pcall catches it, and a call
-- that did not overrun (print, here) is not stopped at all.
local function endless() return setmetatable({}, {__len = function() return math.maxinteger end, __index = function() return "" end}) end
local function long() return setmetatable({}, {__len = function() return 16000000 end, __index = function() return "" end}) end
print("A", pcall(table.concat, endless()))
print("F", pcall(table.concat, long()))
_printh("second stop caught")
local s = string.rep("a", 1e5)
while true do
	print(pcall(table.concat, endless()), pcall(string.find, s, ".-.-.-.-.-.-x"), pcall(table.concat, long()))
end
