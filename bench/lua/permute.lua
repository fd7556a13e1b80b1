-- All permutations of an array by recursive swapping.
local function permute(n)
  local a, count, sum = {}, 0, 0
  for i = 1, n do a[i] = i end
  local function swap(i, j) a[i], a[j] = a[j], a[i] end
  local function perm(k)
    if k == 1 then
      count = count + 1
      sum = sum + a[1] * a[n]
      return
    end
    for i = 1, k do
      perm(k - 1)
      if k % 2 == 0 then swap(i, k) else swap(1, k) end
    end
  end
  perm(n)
  return count, sum
end

local total = 0
for _ = 1, 4 do
  local fact = 1
  for n = 1, 9 do
    fact = fact * n
    local c, s = permute(n)
    assert(c == fact, "permutations of " .. n)
    -- each ordered pair of distinct values ends up at both ends (n - 2)! times
    local sq, sum2 = (n * (n + 1) // 2) ^ 2, n * (n + 1) * (2 * n + 1) // 6
    assert(n == 1 or s == fact // (n * (n - 1)) * (sq - sum2), "sum of ends " .. n)
    total = total + s
  end
end
print(total)
