# Builds "item" + str(i) for i below N and sums len(s) - 1 (the machine's sizeof of a string),
# as bench/programs/strcat.tasm.in does.
import sys

n = int(sys.argv[1])
total = 0
i = 0
while i < n:
    s = "item" + str(i)
    total = total + (len(s) - 1)
    i = i + 1
print(total)
