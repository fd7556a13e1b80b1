-- An incremental solver of one-way constraints over a graph of objects:
-- variables, stay, edit, equality and scale constraints as classes under
-- metatables, plans rebuilt as edits come and go (many small, short-lived
-- tables and method calls through inheritance chains).
local REQUIRED, STRONG_PREFERRED, PREFERRED, STRONG_DEFAULT, NORMAL, WEAK_DEFAULT, WEAKEST = 0, 1, 2, 3, 4, 5, 6
local NONE, FORWARD, BACKWARD = 0, 1, 2

local function stronger(a, b) return a < b end
local function weaker(a, b) return a > b end
local function weakest_of(a, b) if weaker(a, b) then return a end return b end

local function class(base)
  local c = {}
  c.__index = c
  if base then setmetatable(c, {__index = base}) end
  return c
end

-- A first-in first-out list.
local Queue = class()
function Queue.new() return setmetatable({first = 1, last = 0}, Queue) end
function Queue:push(x) self.last = self.last + 1; self[self.last] = x end
function Queue:empty() return self.first > self.last end
function Queue:pop()
  local x = self[self.first]
  self[self.first] = nil
  self.first = self.first + 1
  return x
end

local Variable = class()
function Variable.new(name, value)
  return setmetatable({name = name, value = value, constraints = {}, determined_by = nil,
                       mark = 0, walk_strength = WEAKEST, stay = true}, Variable)
end
function Variable:add_constraint(c) self.constraints[#self.constraints + 1] = c end
function Variable:remove_constraint(c)
  local cs = self.constraints
  for i = #cs, 1, -1 do
    if cs[i] == c then table.remove(cs, i) end
  end
  if self.determined_by == c then self.determined_by = nil end
end

local Constraint = class()
function Constraint:add_constraint(planner)
  self:add_to_graph()
  planner:incremental_add(self)
end
function Constraint:satisfy(mark, planner)
  self:choose_method(mark)
  if not self:is_satisfied() then
    assert(self.strength ~= REQUIRED, "could not satisfy a required constraint")
    return nil
  end
  self:mark_inputs(mark)
  local out = self:output()
  local overridden = out.determined_by
  if overridden then overridden:mark_unsatisfied() end
  out.determined_by = self
  assert(planner:add_propagate(self, mark), "cycle")
  out.mark = mark
  return overridden
end
function Constraint:destroy_constraint(planner)
  if self:is_satisfied() then planner:incremental_remove(self) else self:remove_from_graph() end
end
function Constraint:is_input() return false end

local Unary = class(Constraint)
function Unary.init(c, v, strength, planner)
  c.var, c.strength, c.satisfied = v, strength, false
  c:add_constraint(planner)
  return c
end
function Unary:add_to_graph() self.var:add_constraint(self); self.satisfied = false end
function Unary:choose_method(mark)
  self.satisfied = self.var.mark ~= mark and stronger(self.strength, self.var.walk_strength)
end
function Unary:is_satisfied() return self.satisfied end
function Unary:mark_inputs(mark) end
function Unary:output() return self.var end
function Unary:recalculate()
  self.var.walk_strength = self.strength
  self.var.stay = not self:is_input()
  if self.var.stay then self:execute() end
end
function Unary:mark_unsatisfied() self.satisfied = false end
function Unary:inputs_known() return true end
function Unary:remove_from_graph() self.var:remove_constraint(self); self.satisfied = false end
function Unary:execute() end

local Stay = class(Unary)
function Stay.new(v, strength, planner) return Unary.init(setmetatable({}, Stay), v, strength, planner) end

local Edit = class(Unary)
function Edit.new(v, strength, planner) return Unary.init(setmetatable({}, Edit), v, strength, planner) end
function Edit:is_input() return true end

local Binary = class(Constraint)
function Binary.init(c, v1, v2, strength, planner)
  c.v1, c.v2, c.strength, c.direction = v1, v2, strength, NONE
  c:add_constraint(planner)
  return c
end
function Binary:choose_method(mark)
  local v1, v2 = self.v1, self.v2
  if v1.mark == mark then
    self.direction = (v2.mark ~= mark and stronger(self.strength, v2.walk_strength)) and FORWARD or NONE
  elseif v2.mark == mark then
    self.direction = (v1.mark ~= mark and stronger(self.strength, v1.walk_strength)) and BACKWARD or NONE
  elseif weaker(v1.walk_strength, v2.walk_strength) then
    self.direction = stronger(self.strength, v1.walk_strength) and BACKWARD or NONE
  else
    self.direction = stronger(self.strength, v2.walk_strength) and FORWARD or BACKWARD
  end
end
function Binary:add_to_graph()
  self.v1:add_constraint(self)
  self.v2:add_constraint(self)
  self.direction = NONE
end
function Binary:is_satisfied() return self.direction ~= NONE end
function Binary:mark_inputs(mark) self:input().mark = mark end
function Binary:input() if self.direction == FORWARD then return self.v1 end return self.v2 end
function Binary:output() if self.direction == FORWARD then return self.v2 end return self.v1 end
function Binary:recalculate()
  local i, out = self:input(), self:output()
  out.walk_strength = weakest_of(self.strength, i.walk_strength)
  out.stay = i.stay
  if out.stay then self:execute() end
end
function Binary:mark_unsatisfied() self.direction = NONE end
function Binary:inputs_known(mark)
  local i = self:input()
  return i.mark == mark or i.stay or i.determined_by == nil
end
function Binary:remove_from_graph()
  self.v1:remove_constraint(self)
  self.v2:remove_constraint(self)
  self.direction = NONE
end

local Equality = class(Binary)
function Equality.new(v1, v2, strength, planner)
  return Binary.init(setmetatable({}, Equality), v1, v2, strength, planner)
end
function Equality:execute() self:output().value = self:input().value end

-- v2 = v1 * scale + offset, either way.
local Scale = class(Binary)
function Scale.new(v1, scale, offset, v2, strength, planner)
  local c = setmetatable({scale = scale, offset = offset}, Scale)
  return Binary.init(c, v1, v2, strength, planner)
end
function Scale:add_to_graph()
  Binary.add_to_graph(self)
  self.scale:add_constraint(self)
  self.offset:add_constraint(self)
end
function Scale:remove_from_graph()
  Binary.remove_from_graph(self)
  self.scale:remove_constraint(self)
  self.offset:remove_constraint(self)
end
function Scale:mark_inputs(mark)
  Binary.mark_inputs(self, mark)
  self.scale.mark, self.offset.mark = mark, mark
end
function Scale:execute()
  if self.direction == FORWARD then
    self.v2.value = self.v1.value * self.scale.value + self.offset.value
  else
    self.v1.value = (self.v2.value - self.offset.value) // self.scale.value
  end
end

local Plan = class()
function Plan.new() return setmetatable({n = 0}, Plan) end
function Plan:add(c) self.n = self.n + 1; self[self.n] = c end
function Plan:execute() for i = 1, self.n do self[i]:execute() end end

local Planner = class()
function Planner.new() return setmetatable({mark = 0}, Planner) end
function Planner:new_mark() self.mark = self.mark + 1; return self.mark end
function Planner:incremental_add(c)
  local mark = self:new_mark()
  local overridden = c:satisfy(mark, self)
  while overridden do overridden = overridden:satisfy(mark, self) end
end
function Planner:incremental_remove(c)
  local out = c:output()
  c:mark_unsatisfied()
  c:remove_from_graph()
  local unsatisfied = self:remove_propagate_from(out)
  for strength = REQUIRED, WEAKEST - 1 do
    for i = 1, #unsatisfied do
      local u = unsatisfied[i]
      if u.strength == strength then self:incremental_add(u) end
    end
  end
end
function Planner:consumers_of(v, todo)
  local determining = v.determined_by
  local cs = v.constraints
  for i = 1, #cs do
    local c = cs[i]
    if c ~= determining and c:is_satisfied() then todo:push(c) end
  end
end
function Planner:make_plan(sources)
  local mark = self:new_mark()
  local plan = Plan.new()
  local todo = Queue.new()
  for i = 1, #sources do todo:push(sources[i]) end
  while not todo:empty() do
    local c = todo:pop()
    local out = c:output()
    if out.mark ~= mark and c:inputs_known(mark) then
      plan:add(c)
      out.mark = mark
      self:consumers_of(out, todo)
    end
  end
  return plan
end
function Planner:extract_plan(constraints)
  local sources = {}
  for i = 1, #constraints do
    local c = constraints[i]
    if c:is_input() and c:is_satisfied() then sources[#sources + 1] = c end
  end
  return self:make_plan(sources)
end
function Planner:add_propagate(c, mark)
  local todo = Queue.new()
  todo:push(c)
  while not todo:empty() do
    local d = todo:pop()
    if d:output().mark == mark then
      self:incremental_remove(c)
      return false
    end
    d:recalculate()
    self:consumers_of(d:output(), todo)
  end
  return true
end
function Planner:remove_propagate_from(out)
  out.determined_by, out.walk_strength, out.stay = nil, WEAKEST, true
  local unsatisfied = {}
  local todo = Queue.new()
  todo:push(out)
  while not todo:empty() do
    local v = todo:pop()
    local cs = v.constraints
    for i = 1, #cs do
      if not cs[i]:is_satisfied() then unsatisfied[#unsatisfied + 1] = cs[i] end
    end
    local determining = v.determined_by
    for i = 1, #cs do
      local c = cs[i]
      if c ~= determining and c:is_satisfied() then
        c:recalculate()
        todo:push(c:output())
      end
    end
  end
  return unsatisfied
end

-- A chain of equalities: editing the first variable moves the last.
local function chain(n)
  local planner = Planner.new()
  local vars = {}
  for i = 0, n do
    vars[i] = Variable.new("v" .. i, 0)
    if i > 0 then Equality.new(vars[i - 1], vars[i], REQUIRED, planner) end
  end
  Stay.new(vars[n], STRONG_DEFAULT, planner)
  local edit = Edit.new(vars[0], PREFERRED, planner)
  local plan = planner:extract_plan({edit})
  for i = 1, 100 do
    vars[0].value = i
    plan:execute()
    assert(vars[n].value == i, "chain")
  end
  edit:destroy_constraint(planner)
  return plan.n
end

local function change(planner, v, value)
  local edit = Edit.new(v, PREFERRED, planner)
  local plan = planner:extract_plan({edit})
  for _ = 1, 10 do
    v.value = value
    plan:execute()
  end
  edit:destroy_constraint(planner)
end

-- Many destinations scaled from their sources by shared scale and offset.
local function projection(n)
  local planner = Planner.new()
  local scale, offset = Variable.new("scale", 10), Variable.new("offset", 1000)
  local src, dst
  local dests = {}
  for i = 0, n - 1 do
    src, dst = Variable.new("src" .. i, i), Variable.new("dst" .. i, i)
    dests[i] = dst
    Stay.new(src, NORMAL, planner)
    Scale.new(src, scale, offset, dst, REQUIRED, planner)
  end
  change(planner, src, 17)
  assert(dst.value == 1170, "projection forward")
  change(planner, dst, 1050)
  assert(src.value == 5, "projection backward")
  change(planner, scale, 5)
  for i = 0, n - 2 do assert(dests[i].value == i * 5 + 1000, "scale") end
  change(planner, offset, 2000)
  for i = 0, n - 2 do assert(dests[i].value == i * 5 + 2000, "offset") end
  return dests[n - 2].value
end

local steps, last = 0, 0
for _ = 1, 60 do
  steps = steps + chain(100)
  last = last + projection(100)
end
assert(steps == 60 * 101 and last == 60 * 2490, steps .. " " .. last)
print(steps, last)
