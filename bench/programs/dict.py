# Sets N integer keys (key i holds i), then gets each back with a separately made key and sums
# the values, as bench/programs/dict.tasm.in does.
import sys

n = int(sys.argv[1])
table = {}
i = 0
while i < n:
    table[i] = i
    i = i + 1
total = 0
i = 0
while i < n:
    total = total + table[i]
    i = i + 1
print(total)
