-- Sets N integer keys (key i holds i), then gets each back with a separately made key and sums
-- the values, as bench/programs/dict.tasm.in does. Both loops run inside a function on local
-- variables, the way Lua is written for speed.
local function main(n)
    local tbl = {}
    for i = 0, n - 1 do
        tbl[i] = i
    end
    local total = 0
    for i = 0, n - 1 do
        total = total + tbl[i]
    end
    return total
end

print(main(tonumber(arg[1])))
