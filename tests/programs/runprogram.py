#!/usr/bin/env python3
"""Runs one program-level test: assembles SOURCE.tasm with t4asm, runs t4vm on the image in a
scratch directory and compares stdout, stderr and the exit status byte for byte.

Usage: runprogram.py T4ASM T4VM SOURCE.tasm [BASE]
Optional files, looked for at BASE (by default SOURCE without .tasm): BASE.out and BASE.err, the
expected output (else empty); .status (else 0); .args, extra arguments, one per line; .in, the
standard input; .desc, hex bytes of a debug descriptor placed beside the image; .files/, copied
into the scratch directory first; .check, lines "path<TAB>expected content with \\n escapes".
"""
import os
import shutil
import subprocess
import sys
import tempfile


def read(path, default=b""):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return default


def main():
    t4asm, t4vm, source = sys.argv[1:4]
    base = sys.argv[4] if len(sys.argv) > 4 else source[: -len(".tasm")]
    with tempfile.TemporaryDirectory(prefix="t4test-") as scratch:
        if os.path.isdir(base + ".files"):
            shutil.copytree(base + ".files", scratch, dirs_exist_ok=True)
        asm = subprocess.run([t4asm, source, "-o", os.path.join(scratch, "prog.t4b")], capture_output=True)
        if asm.returncode != 0:
            sys.exit("t4asm failed:\n" + asm.stderr.decode(errors="replace"))
        desc = read(base + ".desc", None)
        if desc is not None:
            with open(os.path.join(scratch, "desc.tndc"), "wb") as f:
                f.write(bytes.fromhex(desc.decode()))
        args = read(base + ".args").decode().split("\n")
        run = subprocess.run([t4vm, "prog.t4b", *filter(None, args)], cwd=scratch,
                             input=read(base + ".in"), capture_output=True, timeout=120)
        checks = [("exit status", int(read(base + ".status", b"0")), run.returncode),
                  ("stdout", read(base + ".out"), run.stdout), ("stderr", read(base + ".err"), run.stderr)]
        for line in filter(None, read(base + ".check").decode().splitlines()):
            path, content = line.split("\t", 1)
            expected = content.encode().decode("unicode_escape").encode("latin-1")
            checks.append(("file " + path, expected, read(os.path.join(scratch, path), None)))
        failed = [check for check in checks if check[1] != check[2]]
        for label, expected, actual in failed:
            sys.stderr.write(f"--- {label} differs\nexpected: {expected!r}\nactual:   {actual!r}\n")
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
