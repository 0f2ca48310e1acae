#!/usr/bin/env python3
"""Runs every program-level test (the .tasm files below tests/programs and the examples) on the
t4asm and t4vm given, as ctest does on a build's own: for binaries built outside the test build,
such as the benchmarks' profile-guided release. Prints the tests that fail; exits 1 if any did.

Usage: runall.py T4ASM T4VM [-j JOBS]
"""
import argparse
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def tests():
    """(source, expected-files base) of every program test; None: beside the source."""
    for folder, _, names in sorted(os.walk(HERE)):
        for name in sorted(names):
            if name.endswith(".tasm"):
                yield os.path.join(folder, name), None
    examples = os.path.join(ROOT, "examples")
    for name in sorted(os.listdir(examples)):
        # The echo pair only works together (the server waits for the client).
        if name.endswith(".tasm") and not name.startswith("echo_"):
            yield os.path.join(examples, name), os.path.join(HERE, "examples", name[:-len(".tasm")])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("t4asm")
    parser.add_argument("t4vm")
    parser.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args()
    t4asm, t4vm = os.path.abspath(args.t4asm), os.path.abspath(args.t4vm)

    def run(test):
        source, base = test
        command = [sys.executable, "-S", os.path.join(HERE, "runprogram.py"), t4asm, t4vm, source]
        result = subprocess.run(command + ([base] if base else []), capture_output=True, text=True)
        return source, result.returncode, result.stdout + result.stderr

    every = list(tests())
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        failed = [(source, output) for source, status, output in pool.map(run, every) if status != 0]
    for source, output in failed:
        print(f"FAILED {os.path.relpath(source, ROOT)}\n{output}")
    print(f"{len(every) - len(failed)} of {len(every)} program tests passed on {t4vm}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
