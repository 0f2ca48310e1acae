-- Calls a method that increments an attribute of a class instance N times, as
-- bench/programs/method.tasm.in does. The class is a metatable with __index. The class and the
-- loop's variables are locals, the way Lua is written for speed.
local Counter = {}
Counter.__index = Counter

function Counter.new()
    return setmetatable({count = 0}, Counter)
end

function Counter:bump()
    self.count = self.count + 1
end

local function main(n)
    local counter = Counter.new()
    for i = 0, n - 1 do
        counter:bump()
    end
    return counter.count
end

print(main(tonumber(arg[1])))
