#!/usr/bin/env python3
"""The installed tree as another project sees it: installs the build into a scratch prefix, builds
examples/embed against it with find_package(T4VM), and runs the host program it makes. Also checks
that the files docs/embedding.md shows (```LANG file=PATH blocks) are the example's, word for word.

Usage: install_test.py CMAKE BUILD_DIR SOURCE_DIR GENERATOR CXX_COMPILER
"""
import os
import re
import subprocess
import sys
import tempfile

CMAKE, BUILD, SOURCE, GENERATOR, CXX = sys.argv[1:6]

EXPECTED = b"Hello, world!\n\n<TARN 4> Program finished with code 42\n[host] status 0, closing code 42\n"
INSTALLED = ["bin/t4vm", "bin/t4asm", "bin/t4dis", "bin/t4db", "include/t4vm/t4vm.h", "lib/libt4vm.a",
             "lib/cmake/T4VM/T4VMConfig.cmake", "lib/cmake/T4VM/T4VMConfigVersion.cmake",
             "share/doc/t4vm/README.md", "share/doc/t4vm/bytecode.md", "share/doc/t4vm/embedding.md"]

failures = []


def step(*command, **options):
    run = subprocess.run(command, capture_output=True, timeout=300, **options)
    if run.returncode != 0:
        sys.exit(f"{' '.join(command)} failed:\n{run.stdout.decode(errors='replace')}{run.stderr.decode(errors='replace')}")
    return run


def expect(what, seen, wanted):
    if seen != wanted:
        failures.append(f"{what}: {seen!r} instead of {wanted!r}")


with open(os.path.join(SOURCE, "docs", "embedding.md"), encoding="utf-8") as f:
    shown = re.findall(r"^```\w+ file=(\S+)\n(.*?)^```$", f.read(), re.M | re.S)
expect("files shown in docs/embedding.md", sorted(path for path, _ in shown),
       ["examples/embed/CMakeLists.txt", "examples/embed/greet.tasm", "examples/embed/greet_host.cpp"])
for path, text in shown:
    with open(os.path.join(SOURCE, path), encoding="utf-8") as f:
        expect(f"{path} as docs/embedding.md shows it", text == f.read(), True)

with tempfile.TemporaryDirectory(prefix="t4install-") as scratch:
    prefix, example = os.path.join(scratch, "prefix"), os.path.join(scratch, "example")
    step(CMAKE, "--install", BUILD, "--prefix", prefix)
    missing = [path for path in INSTALLED if not os.path.isfile(os.path.join(prefix, path))]
    expect("files missing from the installed tree", missing, [])
    # Only the prefix is given: nothing of the source tree or the build can be found from there.
    step(CMAKE, "-S", os.path.join(SOURCE, "examples", "embed"), "-B", example, "-G", GENERATOR,
         f"-DCMAKE_CXX_COMPILER={CXX}", f"-DCMAKE_PREFIX_PATH={prefix}")
    step(CMAKE, "--build", example)
    host = os.path.join(example, "greet_host")

    run = subprocess.run([host, "greet.t4b"], cwd=example, capture_output=True, timeout=60)
    expect("the example's run", (run.returncode, run.stdout, run.stderr), (0, EXPECTED, b""))

    # A program that gives greet.hello a number: the host's check fails the call with a module report.
    with open(os.path.join(example, "wrong.tasm"), "w") as f:
        f.write("pushconst 5\nenterattr greet\nloadattr hello\ncall 1\nleave\n")
    step(os.path.join(prefix, "bin", "t4asm"), "wrong.tasm", cwd=example)
    run = subprocess.run([host, "wrong.t4b"], cwd=example, capture_output=True, timeout=60)
    report = (b"TARN 4 VM error within module: expected a text, got an integer\nCodestack: \n6 \n"
              b"-------------------------\n\nCalltrace: \n  > hello\n  < PROGRAM_ROOT of identifier: BUILTIN_FUNC\n")
    expect("a failing call", (run.returncode, run.stdout, run.stderr), (1, b"[host] status 1\n", report))

    run = subprocess.run([host, "absent.t4b"], cwd=example, capture_output=True, timeout=60)
    report = b'TARN 4 VM error: Cannot open program image "absent.t4b": No such file or directory\nCodestack: \n\n'
    expect("a missing image", (run.returncode, run.stdout, run.stderr), (1, b"[host] status 1\n", report))

    version = subprocess.run([os.path.join(prefix, "bin", "t4vm"), "--version"], capture_output=True).stdout
    with open(os.path.join(prefix, "lib/cmake/T4VM/T4VMConfigVersion.cmake")) as f:
        expect("the package's version", f'set(PACKAGE_VERSION "{version.split()[1].decode()}")' in f.read(), True)

for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
