--@ frames 120
--@ expect cache stored
-- The download cache written as fast as a program can call it.
local data = string.rep("c", 600)
_cache_store("hostile", "f0", data)
_printh(_cache_fetch("hostile", "f0") == data and "cache stored" or "cache not stored")
local i = 0
while true do
	i += 1
	_cache_store("hostile", "f" .. (i % 8), data)
end
