-- Points of the Mandelbrot set on a grid (float loop with early exit).
local function mandel(w, h, iters)
  local inside = 0
  for y = 0, h - 1 do
    local ci = 2.0 * y / h - 1.0
    for x = 0, w - 1 do
      local cr = 2.0 * x / w - 1.5
      local zr, zi, zr2, zi2 = 0.0, 0.0, 0.0, 0.0
      local k = 0
      while k < iters and zr2 + zi2 <= 4.0 do
        zi = 2.0 * zr * zi + ci
        zr = zr2 - zi2 + cr
        zr2, zi2 = zr * zr, zi * zi
        k = k + 1
      end
      if k == iters then inside = inside + 1 end
    end
  end
  return inside
end

local n = mandel(160, 160, 50)
assert(n == 10206, n)
for _ = 1, 11 do assert(mandel(160, 160, 50) == n) end
print(n)
