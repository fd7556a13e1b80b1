--@ frames 400
--@ expect deltas and history done
-- Deltas that would inflate to a gigabyte, deltas of large texts whose own size is
-- tiny, history requests that walk back through years of days, and the history on
-- while files are written: each must cost the program, not the host.
local old = string.rep("x", 1 << 20)
-- The old data's CRC from a delta of old to nothing: "dst" 0, u32 12, then the 12-byte
-- header as one LZ4 literal run.
local header = create_delta(old, ""):sub(10, 21)
local crc_old = header:sub(5, 8)
local copy = "\0\255" .. string.pack("<I4I4", 1 << 20, 0)
local inflating = string.pack("<I4", 1000 << 20) .. crc_old .. "\0\0\0\0" .. string.rep(copy, 1000)
_printh("inflating delta gives " .. select("#", apply_delta(old, inflating)) .. " values")

local big = string.rep("0123456789abcdef", 1 << 19)
for _ = 1, 3 do create_delta(big, big) end
for i = 1, 40 do _fetch_backtrail("/nothing.txt@2099-12-31_23:59:59") end

_apply_system_settings({backtrail = true})
local raw = '--[[orb_format="raw",metadata_format="none"]]'
for i = 1, 5 do store("/h.txt", big:sub(1, 1 << 16) .. i, raw) end
_printh("deltas and history done")
-- Paid for before it runs again, the same work goes on for as long as the host lets it.
local i = 0
while true do
	i += 1
	create_delta(big, big)
	_fetch_backtrail("/nothing.txt@2099-12-31_23:59:59")
	store("/h.txt", big:sub(1, 1 << 16) .. i, raw)
end
