-- An event-driven simulation in object style: classes with inheritance,
-- method calls, and closures scheduled on a priority queue. Money moves
-- between accounts; the total must stay the same.
local function class(parent)
  local c = {}
  c.__index = c
  if parent then setmetatable(c, {__index = parent}) end
  c.new = function(...)
    local o = setmetatable({}, c)
    o:init(...)
    return o
  end
  return c
end

local Queue = class()
function Queue:init() self.n = 0 self.items = {} end
function Queue:push(time, seq, action)
  local items = self.items
  local n = self.n + 1
  self.n = n
  local e = {time = time, seq = seq, action = action}
  while n > 1 do
    local p = n // 2
    local q = items[p]
    if q.time < time or (q.time == time and q.seq < seq) then break end
    items[n] = q
    n = p
  end
  items[n] = e
end
function Queue:pop()
  local items, n = self.items, self.n
  local top, last = items[1], items[n]
  items[n] = nil
  n = n - 1
  self.n = n
  local i = 1
  while true do
    local c = i * 2
    if c > n then break end
    local a = items[c]
    if c < n then
      local b = items[c + 1]
      if b.time < a.time or (b.time == a.time and b.seq < a.seq) then c = c + 1 a = b end
    end
    if last.time < a.time or (last.time == a.time and last.seq < a.seq) then break end
    items[i] = a
    i = c
  end
  if n > 0 then items[i] = last end
  return top
end

local Account = class()
function Account:init(id, balance) self.id = id self.balance = balance self.moves = 0 end
function Account:deposit(x) self.balance = self.balance + x self.moves = self.moves + 1 end
function Account:withdraw(x)
  if x <= 0 or x > self.balance then return 0 end
  self.balance = self.balance - x
  self.moves = self.moves + 1
  return x
end

local Saver = class(Account)
function Saver:init(id, balance) Account.init(self, id, balance) self.kept = 0 end
function Saver:withdraw(x)  -- gives at most half
  local half = self.balance // 2
  if x > half then x = half end
  self.kept = self.kept + 1
  return Account.withdraw(self, x)
end

local function simulate(naccounts, steps)
  local seed = 1
  local function random(n)
    seed = (seed * 16807) % 2147483647
    return seed % n
  end
  local q, seq, clock, done = Queue.new(), 0, 0, 0
  local accounts, total = {}, 0
  for i = 1, naccounts do
    local a = (i % 3 == 0 and Saver or Account).new(i, 1000 + random(1000))
    accounts[i] = a
    total = total + a.balance
  end
  local function schedule(delay, action)
    seq = seq + 1
    q:push(clock + delay, seq, action)
  end
  local function transfer(from, to, amount)
    return function()
      local got = from:withdraw(amount)
      if got > 0 then
        schedule(1 + random(5), function() to:deposit(got) done = done + 1 end)
      end
    end
  end
  local inflight = 0
  for _ = 1, steps do
    local a, b = accounts[random(naccounts) + 1], accounts[random(naccounts) + 1]
    schedule(random(20), transfer(a, b, 1 + random(300)))
    if q.n > 50 then
      local e = q:pop()
      assert(e.time >= clock, "time went back")
      clock = e.time
      e.action()
    end
  end
  while q.n > 0 do
    local e = q:pop()
    clock = e.time
    e.action()
  end
  local sum, moves = 0, 0
  for _, a in ipairs(accounts) do sum = sum + a.balance moves = moves + a.moves end
  assert(sum == total, "money was made or lost")
  assert(moves == 2 * done, "a withdrawal without its deposit")
  return done
end

local r = 0
r = simulate(200, 60000)
print(r)
