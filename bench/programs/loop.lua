-- Counts a top-level (global) variable from 0 to N, as bench/programs/loop.tasm.in does.
n = tonumber(arg[1])
i = 0
while i < n do
    i = i + 1
end
print(i)
