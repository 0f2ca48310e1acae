# Sets N integer keys (key i holds i mod 1000), then looks each up with a separately made key and
# sums the values, as bench/programs/dictlookup.tasm.in does. Both loops run inside a function
# on local variables, the way Python is written for speed.
import sys


def main(n):
    table = {}
    for i in range(n):
        table[i] = i % 1000
    total = 0
    for i in range(n):
        total += table[i]
    return total


print(main(int(sys.argv[1])))
