# Counts a top-level (global) variable from 0 to N, as bench/programs/loop.tasm.in does.
import sys

n = int(sys.argv[1])
i = 0
while i < n:
    i = i + 1
print(i)
