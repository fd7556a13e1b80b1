--@ paced
--@ frames 600
--@ setting host_disk_limit_mb 1
--@ disk 16
--@ expect audio capture ended by itself: ok
-- An audio capture left running streams to its file and ends at the host disk cap
-- (a megabyte here: six seconds of sound), keeping what fitted.
mkdir("/desk")
mount("/desktop/host", "/desk")
_signal(16)
while stat(322) == 1 do flip() end
local _, n = fstat("/desk/audio.raw")
_printh("audio capture ended by itself: " .. ((n and n > 1000000 and n <= 1048576) and "ok" or tostring(n)))
while true do flip() end
