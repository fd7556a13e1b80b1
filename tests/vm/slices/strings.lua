-- String work in the loop and in the libraries: concatenation of strings and
-- numbers, comparisons, formatting, patterns, and compiling code.
local parts, cmp = {}, 0
for i = 1, 120 do
  local s = "item" .. i .. ":" .. i * 1.5
  parts[#parts + 1] = s
  if s < "item5" then cmp = cmp + 1 end
end
local text = table.concat(parts, ";")
local n = 0
for w in text:gmatch("%d+") do n = n + #w end
local f = load("local a, b = ... return a * b + " .. n)
local sum = 0
for i = 1, 30 do sum = sum + f(i, 2) end
-- Long strings as keys and in comparisons are hashed and compared at the
-- cost of their length (one long key per table, so that no collision of two
-- of them, which depends on the hash seed, adds a comparison); a numeric for
-- converts string bounds.
local long = string.rep("k", 60)
local lsum = 0
for i = "1", "25" do
  local lt = {}
  lt[long .. i] = i
  lsum = lsum + lt[long .. i] + (lt[long] or 0)
  if long .. i == long .. "1" then lsum = lsum + 1 end
end
n = n + lsum
local ok, e = pcall(load, "return +")
return #text, cmp, n, sum, string.format("%5.2f|%x|%q", 3.14159, 255, "a\nb"), ok, text:sub(-10)
