--@ frames 60
--@ expect backtracking stopped
-- A backtracking pattern is charged step by step and stopped far over budget.
local s = string.rep("a", 1e5)
local ok, err = pcall(string.find, s, ".-.-.-.-.-.-.-.-x")
_printh(not ok and tostring(err):find("cpu budget exceeded", 1, true) and "backtracking stopped"
	or "backtracking ran: " .. tostring(ok))
-- ... and again and again, with every matching function.
local big = string.rep("(", 1e5)
local class = "[" .. string.rep("b", 1e5) .. "a]"
while true do
	pcall(string.match, s, "(a*)*b")
	pcall(string.gsub, s, ".-.-.-b", "")
	for _ in s:gmatch(".-.-.-b") do end
	pcall(string.gsub, big, "%b()", "")
	pcall(string.find, s, class .. "b")
	pcall(string.find, s, string.rep("a", 5e4) .. "b", 1, true)
end
