-- N-queens by backtracking over free columns and diagonals.
local function queens(n)
  local cols, d1, d2 = {}, {}, {}
  local count = 0
  local function place(row)
    if row > n then count = count + 1 return end
    for c = 1, n do
      local a, b = row + c, row - c + n
      if not cols[c] and not d1[a] and not d2[b] then
        cols[c], d1[a], d2[b] = true, true, true
        place(row + 1)
        cols[c], d1[a], d2[b] = false, false, false
      end
    end
  end
  place(1)
  return count
end

local want = {[4] = 2, [5] = 10, [6] = 4, [7] = 40, [8] = 92, [9] = 352, [10] = 724}
local total = 0
for _ = 1, 12 do
  for n = 4, 10 do
    local c = queens(n)
    assert(c == want[n], "queens " .. n)
    total = total + c
  end
end
print(total)
