# The first half of dictlookup alone: sets N integer keys (key i holds i mod 1000) and prints how
# many keys the dictionary has, as bench/programs/dictset.tasm.in does. bench/run takes this
# program's time from dictlookup's to give the time of the lookups by themselves.
import sys


def main(n):
    table = {}
    for i in range(n):
        table[i] = i % 1000
    return len(table)


print(main(int(sys.argv[1])))
