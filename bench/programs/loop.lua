-- Counts a variable from 0 to N, as bench/programs/loop.tasm.in does. The loop runs inside a
-- function on a local variable, the way Lua is written for speed; counting is the work here, so
-- it stays a while loop that adds 1 and compares.
local function main(n)
    local i = 0
    while i < n do
        i = i + 1
    end
    return i
end

print(main(tonumber(arg[1])))
