-- Sets N integer keys (key i holds i), then gets each back with a separately made key and sums
-- the values, as bench/programs/dict.tasm.in does.
n = tonumber(arg[1])
tbl = {}
i = 0
while i < n do
    tbl[i] = i
    i = i + 1
end
total = 0
i = 0
while i < n do
    total = total + tbl[i]
    i = i + 1
end
print(total)
