--@ frames 240
--@ server
--@ rss 200
--@ expect hang flood started
-- Thousands of downloads a frame from a server that never answers: each call is charged,
-- a bounded pool of workers runs them, and a job whose slot is taken over is dropped.
local url = "@SERVER@hang/"
_printh("hang flood started")
local n = 0
while true do
	for i = 1, 3000 do
		_fetch_remote(url .. n)
		n = n + 1
	end
	flip()
end
