# Sets N integer keys (key i holds i), then gets each back with a separately made key and sums
# the values, as bench/programs/dict.tasm.in does. Both loops run inside a function on local
# variables, the way Python is written for speed.
import sys


def main(n):
    table = {}
    for i in range(n):
        table[i] = i
    total = 0
    for i in range(n):
        total += table[i]
    return total


print(main(int(sys.argv[1])))
