--@ frames 120
--@ expect config survived
--@ home orvanta_config.txt # hostile settings\nmount / @HOME@drive\r\n
--@ home orvanta_config.txt mount /x\nmount\nmount \nmount  @HOME@drive\nmount /ram @HOME@drive\nmount /system @HOME@drive\n
--@ home orvanta_config.txt mount /a\x01b @HOME@drive\nmount /nothing /definitely/not/a/folder\nmount /file @HOME@orvanta_config.txt\n
--@ home orvanta_config.txt mount /ram/deep/er @HOME@drive\nmount /dots/../.. @HOME@drive\n\x00\xff\xfe binary line\n
--@ home orvanta_config.txt mount /pppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp @HOME@drive\n
--@ home orvanta_config.txt mount /last @HOME@drive
-- A configuration file of broken and overlapping mount lines: the system starts,
-- and programs use every path those lines made.
local raw = '--[[orb_format="raw",metadata_format="none"]]'
local points = {"/", "/x", "/ram", "/system", "/nothing", "/file", "/ram/deep/er", "/dots", "/last", "/a"}
local function poke()
	for _, p in ipairs(points) do
		ls(p)
		fstat(p)
		fetch(p .. "/case.lua")
		store(p .. "/written.txt", "w", raw)
		_fdelete(p .. "/written.txt")
	end
end
poke()
_printh("config survived")
while true do poke() end
