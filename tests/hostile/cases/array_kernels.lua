--@ frames 300
--@ expect array kernels ran
-- Every array method on large arrays, in a loop: each call's host work must be
-- paid for, or refused before it starts.
local f = userdata("f64", 256, 512)
local g = userdata("f64", 512, 256)
local b = userdata("u8", 2048, 512)
local idx = userdata("i32", 256, 512)
local calls = {
	function() f:add(g, true) end, function() f:mul(2, true) end, function() f:div(g, true) end,
	function() f:pow(g, true) end, function() f:idiv(3, true) end, function() f:mod(7, true) end,
	function() b:band(b, true) end, function() b:shl(1, true) end, function() f:max(g, true) end,
	function() f:abs(true) end, function() f:sgn(true) end,
	function() f:sort() end, function() g:sort(0, true) end, function() b:sort() end,
	function() b:convert("i16") end, function() f:copy(g) end, function() f:copy(g, true) end,
	function() f:take(idx) end, function() b:take(idx, nil, 0, 0, 2048) end, function() g:clear() end,
	function() f:get(0, 0, 100000) end, function() f:set(0, 0, 1, 2, 3) end,
	function() f:magnitude() end, function() f:distance(g) end, function() f:dot(g) end,
	function() f:transpose() end, function() f:row(3) end, function() f:column(3) end,
	function() f:lerp(g, 0.5) end, function() f:matmul(g) end, function() f:matmul3d(g) end,
	function() b:mutate("i32", 512, 512) end, function() b:mutate("u8", 2048, 512) end,
	function() return tostring(f) end, function() return userdata("f64", 256, 512) end,
}
local function round()
	for _, c in ipairs(calls) do
		pcall(c)
		collectgarbage()
	end
end
round()
_printh("array kernels ran")
while true do round() end
