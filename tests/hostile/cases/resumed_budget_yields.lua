--@ frames 120
--@ expect resumes made
-- Code that can't yield (a gsub callback) resumes, over and over, a coroutine
-- whose slice runs out: each resume must not give the stop's room again, or
-- the callback never reaches its stop and the host is held for good.
local s = string.rep("a", 200)
local co = coroutine.create(function() while true do s:find(".-x") end end)
_printh("resumes made")
while true do
	pcall(string.gsub, "a", "a", function() while true do coroutine.resume(co) end end)
end
