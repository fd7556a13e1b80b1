--@ frames 240
--@ setting host_disk_limit_mb 8
--@ disk 16
--@ expect keep: as it was
--@ expect rewrite: as it is!
-- store() writing a new 1.4 MB file every frame: the run's host disk cap refuses
-- what passes it, a program can't raise the cap itself, a refused write leaves
-- the file as it was, and a rewrite of the same size still works at the cap.
_apply_system_settings({host_disk_limit_mb = 2000000000})
local R = '--[[orb_format="raw",metadata_format="none"]]'
store("/keep.txt", "as it was", R)
local big = string.rep("x", 1400000)
for i = 1, 40 do
	store("/f" .. i .. ".bin", big, R)
	flip()
end
store("/keep.txt", string.rep("y", 4000000), R)
_printh("keep: " .. tostring(fetch("/keep.txt")))
store("/keep.txt", "as it is!", R)
_printh("rewrite: " .. tostring(fetch("/keep.txt")))
while true do flip() end
