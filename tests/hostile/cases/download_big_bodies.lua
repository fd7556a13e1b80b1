--@ frames 240
--@ paced
--@ server
--@ rss 300
--@ expect big downloads started
-- Two dozen downloads of 32 MB - 1 each, never read: the bodies of all jobs together
-- are capped, so the host holds a bounded part of them.
local url = "@SERVER@big?chunked=1&n=" .. (32 * 1024 * 1024 - 1) .. "&i="
for i = 1, 24 do _fetch_remote(url .. i) end
_printh("big downloads started")
while true do flip() end
