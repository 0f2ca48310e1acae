# Builds "item" + str(i) for i below N and sums len(s) - 1 (the machine's sizeof of a string),
# as bench/programs/strcat.tasm.in does. The loop runs inside a function on local variables, the
# way Python is written for speed.
import sys


def main(n):
    total = 0
    for i in range(n):
        s = "item" + str(i)
        total += len(s) - 1
    return total


print(main(int(sys.argv[1])))
