# Counts a variable from 0 to N, as bench/programs/loop.tasm.in does. The loop runs inside a
# function on a local variable, the way Python is written for speed; counting is the work here,
# so it stays a while loop that adds 1 and compares.
import sys


def main(n):
    i = 0
    while i < n:
        i = i + 1
    return i


print(main(int(sys.argv[1])))
