--@ frames 600
--@ expect compiling done true cpu budget exceeded
-- Compiling is charged by its source and by the compiler's own searches: long
-- texts, thousands of labels and gotos, long elseif chains, deep name lookups.
-- A 12 MB program is refused before it is compiled.
local huge = string.rep("x = 1\n", 2e6)
local refused = not _create_process_from_code(huge, "big", "/big.lua")
huge = nil
collectgarbage()
local long = string.rep("x = x + 1\n", 4e5)
local labels = {}
for i = 1, 30000 do labels[i] = "::l" .. i .. ":: f()" end
labels = table.concat(labels, " ")
local gotos = {}
for i = 1, 30000 do gotos[i] = "goto g" .. i end
gotos = "do " .. table.concat(gotos, " ") .. " end " .. labels:gsub("l(%d+)", "g%1")
local elseifs = "if x then " .. string.rep("elseif x then ", 1e5) .. "end"
local nested = {}
for d = 1, 40 do
	local locals = {}
	for i = 1, 190 do locals[i] = "v" .. d .. "_" .. i end
	nested[#nested + 1] = "local " .. table.concat(locals, ",") .. " return function() "
end
local deep = table.concat(nested) .. string.rep("g = g ", 1e5) .. string.rep(" end", 40)
for _, src in ipairs({long, labels, gotos, elseifs, deep}) do pcall(load, src) end
-- A reader that never ends: each piece is charged as it is read.
local piece = ("--" .. string.rep("c", 61) .. "\n"):rep(1024)
local ok, f, err = pcall(load, function() return piece end)
_printh("compiling done " .. tostring(refused) .. " " .. tostring(err))
while true do
	for _, src in ipairs({long, labels, gotos, elseifs, deep}) do pcall(load, src) end
end
