-- Sets N integer keys (key i holds i mod 1000), then looks each up with a separately made key and
-- sums the values, as bench/programs/dictlookup.tasm.in does. Both loops run inside a function on
-- local variables, the way Lua is written for speed.
local function main(n)
    local tbl = {}
    for i = 0, n - 1 do
        tbl[i] = i % 1000
    end
    local total = 0
    for i = 0, n - 1 do
        total = total + tbl[i]
    end
    return total
end

print(main(tonumber(arg[1])))
