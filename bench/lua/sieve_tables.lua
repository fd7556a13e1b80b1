-- The sieve of Eratosthenes over fresh tables, again and again: each round
-- grows a table of flags one slot at a time, sieves it, and gathers the
-- primes into another new table.
local function sieve(n)
  local flags = {}
  for i = 1, n do flags[i] = true end
  flags[1] = false
  for i = 2, n do
    if flags[i] then
      for k = i * i, n, i do flags[k] = false end
    end
  end
  local primes = {}
  for i = 2, n do
    if flags[i] then primes[#primes + 1] = i end
  end
  return primes
end

local count, sum = 0, 0
for round = 1, 6000 do
  local primes = sieve(1000 + round % 100)
  count = count + #primes
  sum = sum + primes[#primes]
end
-- as a sieve written apart (in Python) counts and sums them
assert(count == 1054440 and sum == 6271680, count .. " " .. sum)
print(count, sum)
