-- Builds "item" .. tostring(i) for i below N and sums #s - 1 (the machine's sizeof of a string),
-- as bench/programs/strcat.tasm.in does. The loop runs inside a function on local variables, the
-- way Lua is written for speed.
local function main(n)
    local total = 0
    for i = 0, n - 1 do
        local s = "item" .. tostring(i)
        total = total + (#s - 1)
    end
    return total
end

print(main(tonumber(arg[1])))
