--@ frames 20
--@ expect hidden slots kept
-- A numeric for loop's hidden slots must not take a forged value.
local t = {}
for i = 1, 1 << 62, 1 << 44 do
	if i == 1 then
		debug.setlocal(1, 1, t)
		debug.setlocal(1, 2, t)
		debug.setlocal(1, 3, t)
	else
		collectgarbage()
		break
	end
end
for i = 1.5, 10.5 do
	if i == 1.5 then debug.setlocal(1, 3, "x") debug.setlocal(1, 1, t) end
end
local s = 0
for _, v in ipairs({1, 2, 3}) do debug.setlocal(1, 1, t) s = s + v end
collectgarbage()
_printh(s == 6 and "hidden slots kept" or "hidden slots changed")
while true do flip() end
