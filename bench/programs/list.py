# Appends 1 to a list N times, then sums it with a for loop, as bench/programs/list.tasm.in does.
# Both loops run inside a function on local variables, the way Python is written for speed.
import sys


def main(n):
    items = []
    for i in range(n):
        items.append(1)
    total = 0
    for element in items:
        total += element
    return total


print(main(int(sys.argv[1])))
