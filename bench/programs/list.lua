-- Appends 1 to a list N times, then sums it with a for loop, as bench/programs/list.tasm.in
-- does. table.insert is Lua's append method. Both loops run inside a function on local
-- variables, the way Lua is written for speed.
local function main(n)
    local items = {}
    for i = 0, n - 1 do
        table.insert(items, 1)
    end
    local total = 0
    for _, element in ipairs(items) do
        total = total + element
    end
    return total
end

print(main(tonumber(arg[1])))
