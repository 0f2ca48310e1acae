#!/usr/bin/env python3
"""Runs one program-level test: assembles NAME.tasm with t4asm, runs t4vm on the image in a
scratch directory and compares stdout, stderr and the exit status byte for byte.

Usage: runprogram.py T4ASM T4VM SOURCE.tasm [BASE]
BASE, when given, is where the expectation files are looked for instead of beside the source
(BASE.out, BASE.err, ...), so programs kept elsewhere, like the examples, need no copy here.

Files beside NAME.tasm, or at BASE (all optional):
  NAME.out     expected standard output (missing: empty)
  NAME.err     expected standard error (missing: empty)
  NAME.status  expected exit status (missing: 0)
  NAME.args    extra command-line arguments after the image path, one per line
  NAME.in      standard input given to the machine (missing: empty)
  NAME.desc    hex bytes of a debug descriptor placed beside the image as desc.tndc
  NAME.files/  a directory whose contents are copied into the scratch directory first
  NAME.check   expected files afterwards: lines "path<TAB>expected content with \\n escapes"
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


def show(label, expected, actual):
    sys.stderr.write(f"--- {label} differs\nexpected: {expected!r}\nactual:   {actual!r}\n")


def main():
    t4asm, t4vm, source = sys.argv[1], sys.argv[2], sys.argv[3]
    base = sys.argv[4] if len(sys.argv) > 4 else source[: -len(".tasm")]
    with tempfile.TemporaryDirectory(prefix="t4test-") as scratch:
        if os.path.isdir(base + ".files"):
            shutil.copytree(base + ".files", scratch, dirs_exist_ok=True)
        image = os.path.join(scratch, "prog.t4b")
        asm = subprocess.run([t4asm, source, "-o", image], capture_output=True)
        if asm.returncode != 0:
            sys.stderr.write("t4asm failed:\n" + asm.stderr.decode(errors="replace"))
            return 1
        desc = read(base + ".desc", None)
        if desc is not None:
            with open(os.path.join(scratch, "desc.tndc"), "wb") as f:
                f.write(bytes.fromhex(desc.decode()))
        args = [a for a in read(base + ".args").decode().split("\n") if a != ""]
        run = subprocess.run([t4vm, "prog.t4b", *args], cwd=scratch, input=read(base + ".in"),
                             capture_output=True, timeout=120)
        ok = True
        expected_status = int(read(base + ".status", b"0").decode().strip() or "0")
        if run.returncode != expected_status:
            show("exit status", expected_status, run.returncode)
            ok = False
        for label, expected, actual in (("stdout", read(base + ".out"), run.stdout),
                                        ("stderr", read(base + ".err"), run.stderr)):
            if expected != actual:
                show(label, expected, actual)
                ok = False
        for line in read(base + ".check").decode().splitlines():
            if not line.strip():
                continue
            path, content = line.split("\t", 1)
            content = content.encode().decode("unicode_escape").encode("latin-1")
            actual = read(os.path.join(scratch, path), None)
            if actual != content:
                show("file " + path, content, actual)
                ok = False
        return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
