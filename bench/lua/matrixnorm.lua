-- Largest singular value (the 2-norm) of the infinite matrix A(i, j) = 1 / ((i + j)(i + j + 1) / 2 + i + 1),
-- by the power method on A'A.
local function A(i, j)
  local ij = i + j
  return 1.0 / (ij * (ij + 1) / 2 + i + 1)
end

local function Av(x, y, n)
  for i = 0, n - 1 do
    local a = 0
    for j = 0, n - 1 do a = a + A(i, j) * x[j] end
    y[i] = a
  end
end

local function Atv(x, y, n)
  for i = 0, n - 1 do
    local a = 0
    for j = 0, n - 1 do a = a + A(j, i) * x[j] end
    y[i] = a
  end
end

local function norm(n)
  local u, v, t = {}, {}, {}
  for i = 0, n - 1 do u[i] = 1 end
  for _ = 1, 10 do
    Av(u, t, n) Atv(t, v, n)
    Av(v, t, n) Atv(t, u, n)
  end
  local vBv, vv = 0, 0
  for i = 0, n - 1 do
    vBv = vBv + u[i] * v[i]
    vv = vv + v[i] * v[i]
  end
  return string.format("%0.9f", math.sqrt(vBv / vv))
end

local r
for _ = 1, 15 do r = norm(100) end
assert(r == "1.274219991", r)
print(r)
