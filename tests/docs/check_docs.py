#!/usr/bin/env python3
"""Runs the examples of reference documents and compares what they do with what the documents say.

Usage: check_docs.py T4ASM T4VM T4DIS T4DB DOCUMENT.md [DOCUMENT.md ...]

An example is the fenced blocks marked `example=NAME`: tasm (the program), output (standard output),
stderr, status (missing: empty, 0), command (`t4vm prog.t4b [EXTRA ...]`), stdin, desc (hex, put
beside the image as desc.tndc), hex (the image), dis (t4dis's text), map (the source map: the example
is then assembled with -g, so t4dis finds the map too); or the program and asmerror (what t4asm says
refusing it). ';' starts a comment in hex; the flag `escaped` decodes \\n \\r \\t
\\\\ \\xNN. A `tasm fragment` only has to assemble. A block that would go unchecked stops the check.

More kinds: asm (the t4asm command line, `t4asm -g prog.tasm -o prog.t4b` to get a map without
showing it), and the t4db run of an example: db (`t4db [OPTIONS] prog.t4b`, which assembles with
-g), dbin (its standard input), dberr (its standard error, where times such as `0.123 ms` match
any time), folded (the file its --profile-out wrote). The program's output and status under t4db
must be the example's. An example named BASE/RUN takes the blocks it lacks from example BASE, so
one program can be run several ways.
"""
import codecs
import os
import re
import shlex
import subprocess
import sys
import tempfile

# The documents whose examples are checked (tests/docs/CMakeLists.txt makes one test of each);
# docs/embedding.md shows host code instead, which the installed example builds and runs.
DOCUMENTS = ("bytecode", "assembly", "library", "tools")

KINDS = {"tasm", "output", "stderr", "status", "command", "stdin", "desc", "hex", "dis", "map", "asmerror", "asm",
         "db", "dbin", "dberr", "folded"}
# Profile times differ from run to run; their column keeps its place.
TIME = re.compile(rb" +\d+\.\d{3} ms")


def examples(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    found = {}
    for block in re.finditer(r"^```(\S*)([^\n]*)\n(.*?)^```$", text, re.M | re.S):
        kind, words, body = block[1], block[2].split(), block[3].encode()
        where = f"{path}:{text.count(chr(10), 0, block.start()) + 1}"
        names = [word[len("example="):] for word in words if word.startswith("example=")]
        if kind == "tasm" and words == ["fragment"]:
            found[where] = {"tasm": body, "fragment": b""}
        elif kind in KINDS or names:
            if kind not in KINDS or len(names) != 1 or set(words) - {"example=" + names[0], "escaped"}:
                sys.exit(f"{where}: a {kind} block needs one example=NAME and no flag but 'escaped'")
            if kind in found.setdefault(names[0], {}):
                sys.exit(f"{where}: a second {kind} block for example '{names[0]}'")
            found[names[0]][kind] = codecs.escape_decode(body)[0] if "escaped" in words else body
    for name, example in found.items():
        base = found.get(name.split("/")[0], {}) if "/" in name else {}
        for kind in ("tasm", "output", "stderr", "status", "stdin", "asm"):
            if kind in base and kind not in example:
                example[kind] = base[kind]
    for name, example in found.items():
        ends = {"output", "asmerror", "fragment"} & example.keys()
        if "tasm" not in example or len(ends) != 1 or ("asmerror" in ends and len(example) > 2):
            sys.exit(f"{path}: example '{name}' needs a program and an output, or only an asmerror")
    return found or sys.exit(f"{path}: no examples found")


def hexbytes(block):
    return bytes.fromhex("".join(line.split(";")[0] for line in block.decode().splitlines()))


def debugger(example, run, t4db, scratch):
    """The checks of an example's t4db run: its own output, and the program's as t4vm gives it."""
    words = shlex.split(example["db"].decode())
    session = run(t4db, *words[1:], stdin=example.get("dbin", b""))
    checks = [("t4db stdout", example["output"], session.stdout),
              ("t4db exit status", int(example.get("status", b"0")), session.returncode),
              ("t4db stderr", TIME.sub(b" # ms", example.get("dberr", b"")), TIME.sub(b" # ms", session.stderr))]
    if "folded" in example:
        with open(os.path.join(scratch, words[words.index("--profile-out") + 1]), "rb") as f:
            checks.append(("folded stacks", example["folded"], f.read()))
    return checks


def differences(example, t4asm, t4vm, t4dis, t4db):
    with tempfile.TemporaryDirectory(prefix="t4doc-") as scratch:
        def run(*command, stdin=b""):
            return subprocess.run(command, cwd=scratch, input=stdin, capture_output=True, timeout=60)

        def put(name, data):
            with open(os.path.join(scratch, name), "wb") as f:
                f.write(data)

        put("prog.tasm", example["tasm"])
        debug = "map" in example or "db" in example or b"-g" in example.get("asm", b"").split()
        asm = run(t4asm, *(["-g"] if debug else []), "prog.tasm", "-o", "prog.t4b")
        checks = [("t4asm", (int("asmerror" in example), example.get("asmerror", b"")), (asm.returncode, asm.stderr))]
        if "output" in example and asm.returncode == 0:
            if "hex" in example:
                with open(os.path.join(scratch, "prog.t4b"), "rb") as f:
                    checks.append(("image", hexbytes(example["hex"]), f.read()))
            if "map" in example:
                with open(os.path.join(scratch, "prog.t4b.map"), "rb") as f:
                    checks.append(("map", example["map"], f.read()))
            if "dis" in example:
                checks.append(("t4dis", example["dis"], run(t4dis, "prog.t4b").stdout))
            if "desc" in example:
                put("desc.tndc", hexbytes(example["desc"]))
            extra = shlex.split(example.get("command", b"").decode())[2:]
            machine = run(t4vm, "prog.t4b", *extra, stdin=example.get("stdin", b""))
            checks += [("stdout", example["output"], machine.stdout),
                       ("stderr", example.get("stderr", b""), machine.stderr),
                       ("exit status", int(example.get("status", b"0")), machine.returncode)]
            if "db" in example:
                checks += debugger(example, run, t4db, scratch)
        return [f"{what}: expected {want!r}, got {got!r}" for what, want, got in checks if want != got]


def main(t4asm, t4vm, t4dis, t4db, *documents):
    failed = 0
    for path in documents:
        for name, example in examples(path).items():
            problems = differences(example, t4asm, t4vm, t4dis, t4db)
            failed += bool(problems)
            print(f"{'FAIL' if problems else 'ok  '} {name}", *problems, sep="\n    ")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
