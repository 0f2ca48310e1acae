#!/usr/bin/env python3
"""Runs the examples of reference documents and compares what they do with what the documents say.

Usage: check_docs.py T4ASM T4VM T4DIS DOCUMENT.md [DOCUMENT.md ...]

An example is the fenced blocks marked `example=NAME`: tasm (the program), output (standard output),
stderr, status (missing: empty, 0), command (`t4vm prog.t4b [EXTRA ...]`), stdin, desc (hex, put
beside the image as desc.tndc), hex (the image), dis (t4dis's text), map (the source map: the example
is then assembled with -g, so t4dis finds the map too); or the program and asmerror (what t4asm says
refusing it). ';' starts a comment in hex; the flag `escaped` decodes \\n \\r \\t
\\\\ \\xNN. A `tasm fragment` only has to assemble. A block that would go unchecked stops the check.
"""
import codecs
import os
import re
import shlex
import subprocess
import sys
import tempfile

KINDS = {"tasm", "output", "stderr", "status", "command", "stdin", "desc", "hex", "dis", "map", "asmerror"}


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
        ends = {"output", "asmerror", "fragment"} & example.keys()
        if "tasm" not in example or len(ends) != 1 or ("asmerror" in ends and len(example) > 2):
            sys.exit(f"{path}: example '{name}' needs a program and an output, or only an asmerror")
    return found or sys.exit(f"{path}: no examples found")


def hexbytes(block):
    return bytes.fromhex("".join(line.split(";")[0] for line in block.decode().splitlines()))


def differences(example, t4asm, t4vm, t4dis):
    with tempfile.TemporaryDirectory(prefix="t4doc-") as scratch:
        def run(*command, stdin=b""):
            return subprocess.run(command, cwd=scratch, input=stdin, capture_output=True, timeout=60)

        def put(name, data):
            with open(os.path.join(scratch, name), "wb") as f:
                f.write(data)

        put("prog.tasm", example["tasm"])
        asm = run(t4asm, *(["-g"] if "map" in example else []), "prog.tasm", "-o", "prog.t4b")
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
        return [f"{what}: expected {want!r}, got {got!r}" for what, want, got in checks if want != got]


def main(t4asm, t4vm, t4dis, *documents):
    failed = 0
    for path in documents:
        for name, example in examples(path).items():
            problems = differences(example, t4asm, t4vm, t4dis)
            failed += bool(problems)
            print(f"{'FAIL' if problems else 'ok  '} {name}", *problems, sep="\n    ")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
