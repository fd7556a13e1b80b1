-- Balls bouncing in a box: objects with field updates and method calls.
local seed = 74755
local function random()
  seed = (seed * 1309 + 13849) & 65535
  return seed
end

local Ball = {}
Ball.__index = Ball

function Ball.new()
  return setmetatable({x = random() % 500, y = random() % 500,
                       vx = random() % 300 - 150, vy = random() % 300 - 150}, Ball)
end

function Ball:bounce()
  local limit, bounced = 500, false
  self.x = self.x + self.vx
  self.y = self.y + self.vy
  if self.x > limit then self.x = limit; self.vx = -math.abs(self.vx); bounced = true end
  if self.x < 0 then self.x = 0; self.vx = math.abs(self.vx); bounced = true end
  if self.y > limit then self.y = limit; self.vy = -math.abs(self.vy); bounced = true end
  if self.y < 0 then self.y = 0; self.vy = math.abs(self.vy); bounced = true end
  return bounced
end

local total = 0
for _ = 1, 400 do
  seed = 74755
  local balls = {}
  for i = 1, 100 do balls[i] = Ball.new() end
  local bounces = 0
  for _ = 1, 50 do
    for _, b in ipairs(balls) do
      if b:bounce() then bounces = bounces + 1 end
    end
  end
  assert(bounces == 1331, bounces)
  total = total + bounces
end
print(total)
