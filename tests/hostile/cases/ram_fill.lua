--@ frames 400
--@ expect ram refused
-- Five processes store megabytes into /ram until the host says no, and keep trying.
local filler = [==[
local raw = '--[[orb_format="raw",metadata_format="none"]]'
local s = string.rep("r", 1 << 20)
local i, said = 0, false
while true do
	i += 1
	local name = "/ram/f" .. pid() .. "_" .. i
	store(name, s, raw)
	if not said and fstat(name) == nil then
		_printh("ram refused at file " .. i)
		said = true
	end
end
]==]
for _ = 1, 4 do _create_process_from_code(filler, "filler", "/filler.lua") end
load(filler)()
