-- Permutation flipping: for every permutation of 1..n, reverse the prefix
-- as long as its first element says, counting flips (checksum and maximum).
local function fannkuch(n)
  local perm, perm1, count = {}, {}, {}
  for i = 1, n do perm1[i] = i end
  local maxflips, checksum, sign, r = 0, 0, 1, n
  while true do
    while r ~= 1 do count[r - 1] = r; r = r - 1 end
    for i = 1, n do perm[i] = perm1[i] end
    local flips, k = 0, perm[1]
    while k ~= 1 do
      local i, j = 1, k
      while i < j do
        perm[i], perm[j] = perm[j], perm[i]
        i = i + 1; j = j - 1
      end
      flips = flips + 1
      k = perm[1]
    end
    if flips > maxflips then maxflips = flips end
    checksum = checksum + sign * flips
    sign = -sign
    while true do
      if r == n then return checksum, maxflips end
      local p0 = perm1[1]
      for i = 1, r do perm1[i] = perm1[i + 1] end
      perm1[r + 1] = p0
      count[r] = count[r] - 1
      if count[r] > 0 then break end
      r = r + 1
    end
  end
end

local c7, f7 = fannkuch(7)
assert(c7 == 228 and f7 == 16, "fannkuch(7)")
local c, f = fannkuch(9)
assert(c == 8629 and f == 30, "fannkuch(9)")
print(c, f)
