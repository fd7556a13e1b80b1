--@ frames 120
--@ expect matmul stopped: cpu budget exceeded in code that cannot yield
-- A matrix product of a billion multiply-adds in one call.
local a = userdata("f64", 1024, 1024)
local ok, err = pcall(a.matmul, a, a)
_printh("matmul " .. (ok and "ran" or "stopped: " .. tostring(err)))
while true do pcall(a.matmul, a, a) end
