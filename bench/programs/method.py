# Calls a method that increments an attribute of a class instance N times, as
# bench/programs/method.tasm.in does.
import sys


class Counter:
    def __init__(self):
        self.count = 0

    def bump(self):
        self.count = self.count + 1


n = int(sys.argv[1])
counter = Counter()
i = 0
while i < n:
    counter.bump()
    i = i + 1
print(counter.count)
