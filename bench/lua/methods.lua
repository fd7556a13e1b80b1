-- Method calls on objects with metatables and inheritance.
local Point = {}
Point.__index = Point
function Point.new(x, y) return setmetatable({x = x, y = y}, Point) end
function Point:add(o) return Point.new(self.x + o.x, self.y + o.y) end
function Point:dot(o) return self.x * o.x + self.y * o.y end
function Point:len2() return self:dot(self) end
local Point3 = setmetatable({}, {__index = Point})
Point3.__index = Point3
function Point3.new(x, y, z) local p = Point.new(x, y) p.z = z return setmetatable(p, Point3) end
function Point3:len2() return Point.len2(self) + self.z * self.z end
local acc = 0
local p, q = Point.new(1, 2), Point3.new(1, 1, 1)
for i = 1, 500000 do
  p = p:add(Point.new(1, -1))
  acc = acc + p:dot(q) + q:len2()
end
print(acc, p.x, p.y)
