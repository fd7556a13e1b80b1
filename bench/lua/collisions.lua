-- Collision detection among aircraft over vector objects: every motion, offset
-- and closest approach makes new vectors through metamethods; motions are
-- hashed into voxels and pairs in a voxel tested. The first frames are checked
-- against testing every pair.
local Vec = {}
Vec.__index = Vec
local function vec(x, y, z) return setmetatable({x = x, y = y, z = z}, Vec) end
Vec.__add = function(a, b) return vec(a.x + b.x, a.y + b.y, a.z + b.z) end
Vec.__sub = function(a, b) return vec(a.x - b.x, a.y - b.y, a.z - b.z) end
function Vec:scale(s) return vec(self.x * s, self.y * s, self.z * s) end
function Vec:dot(b) return self.x * b.x + self.y * b.y + self.z * b.z end

local Motion = {}
Motion.__index = Motion
local function motion(sign, from, to) return setmetatable({sign = sign, from = from, to = to}, Motion) end

local RADIUS, VOXEL = 1.0, 2.0
local R2 = RADIUS * RADIUS

-- Where two motions come closest during the frame, when closer than the radius.
function Motion:meets(other)
  local d0 = self.from - other.from
  local dv = (self.to - self.from) - (other.to - other.from)
  local vv = dv:dot(dv)
  local t = 0
  if vv > 1e-12 then
    t = -d0:dot(dv) / vv
    if t < 0 then t = 0 elseif t > 1 then t = 1 end
  end
  local d = d0 + dv:scale(t)
  if d:dot(d) < R2 then
    return self.from + (self.to - self.from):scale(t)
  end
end

local Aircraft = {}
Aircraft.__index = Aircraft
local function aircraft(i)
  local ring = i % 7
  return setmetatable({sign = "flight" .. i, radius = 8 + ring * 3, phase = i * 0.61,
                       speed = 0.02 + (i % 5) * 0.005, height = (i % 3) * 0.7}, Aircraft)
end
function Aircraft:at(t)
  local a = self.phase + self.speed * t
  return vec(self.radius * math.cos(a), self.radius * math.sin(a * 1.3), self.height)
end

local function voxels_of(m, grid)
  local a, b = m.from, m.to
  local x0, x1 = math.min(a.x, b.x) - RADIUS, math.max(a.x, b.x) + RADIUS
  local y0, y1 = math.min(a.y, b.y) - RADIUS, math.max(a.y, b.y) + RADIUS
  for vx = math.floor(x0 / VOXEL), math.floor(x1 / VOXEL) do
    for vy = math.floor(y0 / VOXEL), math.floor(y1 / VOXEL) do
      local key = vx * 4096 + vy
      local cell = grid[key]
      if not cell then cell = {}; grid[key] = cell end
      cell[#cell + 1] = m
    end
  end
end

local function pair_key(a, b)
  if a.sign < b.sign then return a.sign .. "|" .. b.sign end
  return b.sign .. "|" .. a.sign
end

local function detect(motions)
  local grid = {}
  for i = 1, #motions do voxels_of(motions[i], grid) end
  local found, n = {}, 0
  for _, cell in pairs(grid) do
    for i = 1, #cell - 1 do
      for j = i + 1, #cell do
        local a, b = cell[i], cell[j]
        local k = pair_key(a, b)
        if not found[k] then
          local at = a:meets(b)
          if at then found[k] = at; n = n + 1 end
        end
      end
    end
  end
  return found, n
end

local function every_pair(motions)
  local found, n = {}, 0
  for i = 1, #motions - 1 do
    for j = i + 1, #motions do
      if motions[i]:meets(motions[j]) then found[pair_key(motions[i], motions[j])] = true; n = n + 1 end
    end
  end
  return found, n
end

local fleet = {}
for i = 1, 120 do fleet[i] = aircraft(i) end
local last = {}
for i, a in ipairs(fleet) do last[i] = a:at(0) end
local total = 0
for t = 1, 200 do
  local motions = {}
  for i, a in ipairs(fleet) do
    local now = a:at(t)
    motions[i] = motion(a.sign, last[i], now)
    last[i] = now
  end
  local found, n = detect(motions)
  if t <= 10 then
    local want, wn = every_pair(motions)
    assert(n == wn, "frame " .. t .. ": " .. n .. " ~= " .. wn)
    for k in pairs(want) do assert(found[k], k) end
  end
  total = total + n
end
assert(total == 1887, total)
print(total)
