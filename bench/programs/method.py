# Calls a method that increments an attribute of a class instance N times, as
# bench/programs/method.tasm.in does. The loop runs inside a function on local variables, the way
# Python is written for speed.
import sys


class Counter:
    def __init__(self):
        self.count = 0

    def bump(self):
        self.count = self.count + 1


def main(n):
    counter = Counter()
    for i in range(n):
        counter.bump()
    return counter.count


print(main(int(sys.argv[1])))
