-- Towers of Hanoi with the pegs as array stacks.
local function hanoi(n)
  local pegs = {{}, {}, {}}
  for d = n, 1, -1 do pegs[1][#pegs[1] + 1] = d end
  local moves = 0
  local function move(k, from, to, via)
    if k == 0 then return end
    move(k - 1, from, via, to)
    local src, dst = pegs[from], pegs[to]
    local d = src[#src]
    src[#src] = nil
    assert(dst[#dst] == nil or dst[#dst] > d, "bigger disc on a smaller one")
    dst[#dst + 1] = d
    moves = moves + 1
    move(k - 1, via, to, from)
  end
  move(n, 1, 3, 2)
  assert(#pegs[1] == 0 and #pegs[2] == 0 and #pegs[3] == n)
  for i = 1, n do assert(pegs[3][i] == n + 1 - i) end
  return moves
end

local total = 0
for n = 10, 19 do
  local m = hanoi(n)
  assert(m == 2 ^ n - 1)
  total = total + m
end
print(total)
