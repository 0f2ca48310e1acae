-- Calls a method that increments an attribute of a class instance N times, as
-- bench/programs/method.tasm.in does. The class is a metatable with __index.
Counter = {}
Counter.__index = Counter

function Counter.new()
    return setmetatable({count = 0}, Counter)
end

function Counter:bump()
    self.count = self.count + 1
end

n = tonumber(arg[1])
counter = Counter.new()
i = 0
while i < n do
    counter:bump()
    i = i + 1
end
print(counter.count)
