-- The first half of dictlookup alone: sets N integer keys (key i holds i mod 1000) and prints how
-- many keys the table has, as bench/programs/dictset.tasm.in does. bench/run takes this program's
-- time from dictlookup's to give the time of the lookups by themselves. Keys 1 to n - 1 are all
-- there, so the border # finds is n - 1; key 0 makes n.
local function main(n)
    local tbl = {}
    for i = 0, n - 1 do
        tbl[i] = i % 1000
    end
    return #tbl + 1
end

print(main(tonumber(arg[1])))
