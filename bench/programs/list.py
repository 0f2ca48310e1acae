# Appends 1 to a list N times, then sums it with a for loop, as bench/programs/list.tasm.in does.
import sys

n = int(sys.argv[1])
items = []
i = 0
while i < n:
    items.append(1)
    i = i + 1
total = 0
for element in items:
    total = total + element
print(total)
