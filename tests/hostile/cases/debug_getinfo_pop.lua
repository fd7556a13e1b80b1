--@ frames 20
--@ expect getinfo refused
-- The '>' option of debug.getinfo must not pop a suspended coroutine's stack.
local co = coroutine.create(function() coroutine.yield() end)
coroutine.resume(co)
local refused = 0
for i = 1, 7 do
	if not pcall(debug.getinfo, co, 0, ">") then refused = refused + 1 end
end
pcall(coroutine.resume, co, {})
co = nil
collectgarbage()
_printh(refused == 7 and "getinfo refused" or "getinfo ran")
while true do flip() end
