--@ frames 60
--@ expect raising
-- The error report turns the error object into text: a __tostring that never
-- ends, in bytecode or in native work, must not hang the report.
_printh("raising")
local kind = 0
error(setmetatable({}, {__tostring = function()
	local s = string.rep("a", 1e5)
	while true do
		string.find(s, ".-.-.-.-.-.-.-.-x")
		string.rep("", math.maxinteger)
	end
end}))
