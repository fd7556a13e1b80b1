-- Heap sort of pseudo-random floats; the result must be ordered and hold
-- the same values (sum and count).
local seed = 42
local function random()
  seed = (seed * 3877 + 29573) % 139968
  return seed / 139968
end

local function heapsort(a, n)
  local function sift(lo, hi)
    local root, v = lo, a[lo]
    while true do
      local child = root * 2
      if child > hi then break end
      if child < hi and a[child] < a[child + 1] then child = child + 1 end
      if v >= a[child] then break end
      a[root] = a[child]
      root = child
    end
    a[root] = v
  end
  for i = n // 2, 1, -1 do sift(i, n) end
  for hi = n, 2, -1 do
    a[1], a[hi] = a[hi], a[1]
    sift(1, hi - 1)
  end
end

local n = 100000
for round = 1, 3 do
  local a, sum = {}, 0
  for i = 1, n do
    local v = random()
    a[i] = v
    sum = sum + v * 139968
  end
  heapsort(a, n)
  local check = 0
  for i = 1, n do
    if i > 1 then assert(a[i - 1] <= a[i], "out of order") end
    check = check + a[i] * 139968
  end
  assert(#a == n and math.abs(check - sum) < 1e-3 * n, "values changed")
  if round == 3 then print(string.format("%.10f %.10f", a[1], a[n])) end
end
