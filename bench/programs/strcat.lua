-- Builds "item" .. tostring(i) for i below N and sums #s - 1 (the machine's sizeof of a string),
-- as bench/programs/strcat.tasm.in does.
n = tonumber(arg[1])
total = 0
i = 0
while i < n do
    s = "item" .. tostring(i)
    total = total + (#s - 1)
    i = i + 1
end
print(total)
