--@ frames 60
--@ expect chains done
-- Deep metamethod chains: each link is charged, the program keeps its share.
local function chain(kind)
	local first = {}
	local cur = first
	for i = 1, 1999 do
		local nxt = {}
		setmetatable(cur, {[kind] = nxt})
		cur = nxt
	end
	return first, cur
end
local get_first, get_last = chain("__index")
get_last.x = 1
local set_first = chain("__newindex")
-- A callable whose __call is itself: each link shifts the arguments once more.
local callable = setmetatable({}, {})
getmetatable(callable).__call = callable
local ok = pcall(callable)
_printh("chains done " .. tostring(get_first.x) .. " " .. tostring(ok))
while true do
	local x = get_first.x
	set_first.y = 1
	pcall(callable, 1, 2, 3)
end
