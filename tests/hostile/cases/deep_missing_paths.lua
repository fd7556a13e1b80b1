--@ frames 120
--@ expect deep paths reached
-- Missing paths thousands of folders deep, on the host drive and in RAM.
local deep = "/" .. string.rep("d/", 2000) .. "x.txt"
local ram = "/ram/" .. string.rep("d/", 2000) .. "x.txt"
local carts = "/" .. string.rep("c.q64/", 600) .. "x.txt"
fstat(deep) fetch(deep) fstat(ram) fetch(ram) fstat(carts)
_printh("deep paths reached")
while true do
	fstat(deep) fetch(deep) fstat(ram) fetch(ram) fstat(carts) fetch(carts)
end
