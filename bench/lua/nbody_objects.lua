-- The Jovian planets again, written with objects: bodies and their positions
-- and velocities are instances of classes, and the vector arithmetic makes a
-- new vector for every intermediate result.
local Vec3 = {}
Vec3.__index = Vec3
local function vec3(x, y, z) return setmetatable({x = x, y = y, z = z}, Vec3) end
Vec3.__add = function(a, b) return vec3(a.x + b.x, a.y + b.y, a.z + b.z) end
Vec3.__sub = function(a, b) return vec3(a.x - b.x, a.y - b.y, a.z - b.z) end
Vec3.__mul = function(a, s) return vec3(a.x * s, a.y * s, a.z * s) end
function Vec3:dot(b) return self.x * b.x + self.y * b.y + self.z * b.z end

local pi = 3.141592653589793
local solar = 4 * pi * pi
local year = 365.24

local Body = {}
Body.__index = Body
local function body(x, y, z, vx, vy, vz, mass)
  return setmetatable({pos = vec3(x, y, z), vel = vec3(vx * year, vy * year, vz * year), mass = mass * solar}, Body)
end
function Body:kinetic() return 0.5 * self.mass * self.vel:dot(self.vel) end
function Body:pull(other, dt)
  local d = self.pos - other.pos
  local d2 = d:dot(d)
  local mag = dt / (d2 * math.sqrt(d2))
  self.vel = self.vel - d * (other.mass * mag)
  other.vel = other.vel + d * (self.mass * mag)
end
function Body:move(dt) self.pos = self.pos + self.vel * dt end

local System = {}
System.__index = System
local function system(bodies)
  local s = setmetatable({bodies = bodies}, System)
  local p = vec3(0, 0, 0)
  for _, b in ipairs(bodies) do p = p + b.vel * b.mass end
  bodies[1].vel = p * (-1 / solar)
  return s
end
function System:advance(dt)
  local bs = self.bodies
  for i = 1, #bs do
    for j = i + 1, #bs do bs[i]:pull(bs[j], dt) end
  end
  for i = 1, #bs do bs[i]:move(dt) end
end
function System:energy()
  local e, bs = 0, self.bodies
  for i = 1, #bs do
    e = e + bs[i]:kinetic()
    for j = i + 1, #bs do
      local d = bs[i].pos - bs[j].pos
      e = e - bs[i].mass * bs[j].mass / math.sqrt(d:dot(d))
    end
  end
  return e
end

local s = system({
  body(0, 0, 0, 0, 0, 0, 1),
  body(4.84143144246472090e+00, -1.16032004402742839e+00, -1.03622044471123109e-01,
       1.66007664274403694e-03, 7.69901118419740425e-03, -6.90460016972063023e-05, 9.54791938424326609e-04),
  body(8.34336671824457987e+00, 4.12479856412430479e+00, -4.03523417114321381e-01,
       -2.76742510726862411e-03, 4.99852801234917238e-03, 2.30417297573763929e-05, 2.85885980666130812e-04),
  body(1.28943695621391310e+01, -1.51111514016986312e+01, -2.23307578892655734e-01,
       2.96460137564761618e-03, 2.37847173959480950e-03, -2.96589568540237556e-05, 4.36624404335156298e-05),
  body(1.53796971148509165e+01, -2.59193146099879641e+01, 1.79258772950371181e-01,
       2.68067772490389322e-03, 1.62824170038242295e-03, -9.51592254519715870e-05, 5.15138902046611451e-05),
})
local before = string.format("%0.9f", s:energy())
for _ = 1, 30000 do s:advance(0.01) end
local after = string.format("%0.9f", s:energy())
assert(before == "-0.169075164" and after == "-0.169020695", before .. " " .. after)
print(before, after)
