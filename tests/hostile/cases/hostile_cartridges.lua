--@ frames 800
--@ expect hostile cartridges read
-- Malformed and explosive cartridges of every form, on the drive and in RAM, read,
-- listed, copied, changed and deleted through the paths that mount them.
local raw = '--[[orb_format="raw",metadata_format="none"]]'
local function u32(n) return string.pack("<I4", n) end
local function rom(block, claimed) return "q64\2" .. u32(claimed or #block) .. block end
-- An LZ4 block: literals, then one match repeating the last literal, then 5 literals.
local function lz4_run(literals, repeat_len)
	local function len_bytes(n) local t = {} while n >= 255 do t[#t + 1] = "\255" n = n - 255 end t[#t + 1] = string.char(n) return table.concat(t) end
	local ll, ml = #literals, repeat_len - 4
	local token = (math.min(ll, 15) << 4) | math.min(ml, 15)
	local s = string.char(token) .. (ll >= 15 and len_bytes(ll - 15) or "") .. literals .. "\1\0"
		.. (ml >= 15 and len_bytes(ml - 15) or "")
	return s .. "\80" .. "\0\0\0\0\0"
end
local bomb_payload = "big.bin\0\255" .. u32((64 << 20) - 64) .. "\0"
local carts = {
	["bomb.q64.rom"] = rom(lz4_run(bomb_payload, (64 << 20) - 80)),
	["bombs.q64.rom"] = rom(lz4_run("big.bin\0\255" .. u32(32 << 20) .. "\0", (64 << 20) - 80)),
	["many.q64.rom"] = rom(lz4_run("e\0\0", 20000)),
	["short.q64.rom"] = rom("\31abc", 1 << 30),
	["dots.q64.rom"] = rom(lz4_run("../../escape.txt\0\4", 40)),
	["longname.q64.rom"] = rom(lz4_run(string.rep("n", 401) .. "\0\1", 40)),
	["magic.q64.rom"] = "q64",
	["qxa.q64.rom"] = "\0qxa" .. string.rep("\255", 300),
	["plain.q64.rom"] = "_printh('plain source cartridge')",
	["noeoc.q64"] = "orvanta cartridge // x\nversion 2\n\n:: main.lua\n" .. string.rep("line\n", 1000),
	["junk.q64"] = "orvanta cartridge // x\nversion 2\n\n:: ../up.txt\nx\n:: a.bin\nb64$" .. string.rep("!*", 3000)
		.. "\n:: h.bin\nhex$zz" .. string.rep("f", 5001) .. "\n:: d/\n:: d/e/\n:: [eoc]\n",
	["legacy.q64"] = "x\nversion 1\nmain.lua 0:0 [00" .. string.rep("41", 100) .. "]\nbad\ndir 0:1\n##\nx 0:0\n",
	["version.q64"] = "x\nversion 99999999999999999999\n",
	["card.q64.png"] = "\137PNG\r\n\26\n" .. string.rep("\0", 100),
	["empty.q64.rom"] = "",
}
for name, bytes in pairs(carts) do
	store("/" .. name, bytes, raw)
	store("/ram/" .. name, bytes, raw)
end
local function poke(base)
	for name in pairs(carts) do
		local p = base .. name
		ls(p)
		fstat(p)
		fetch(p .. "/main.lua")
		cp(p .. "/big.bin", "/ram/big_copy.bin")
		cp(p .. "/main.lua", "/ram/copied.lua")
		store(p .. "/added.txt", "added", raw)
		ls(p .. "/d")
	end
end
poke("/")
poke("/ram/")
_printh("hostile cartridges read")
local round = 0
while true do
	round += 1
	poke(round % 2 == 0 and "/" or "/ram/")
	for name in pairs(carts) do _fdelete("/ram/" .. name .. "/added.txt") end
	if round % 5 == 0 then
		for name, bytes in pairs(carts) do store("/ram/" .. name, bytes, raw) end
	end
end
