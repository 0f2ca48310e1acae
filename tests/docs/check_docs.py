#!/usr/bin/env python3
"""Runs the examples written in the reference documents and compares what they do with what the
documents say they do.

Usage:
  check_docs.py --t4asm T4ASM --t4vm T4VM --t4dis T4DIS DOCUMENT.md [DOCUMENT.md ...]
  check_docs.py --list DOCUMENT.md        names of the examples, nothing is run
  check_docs.py --self-test [--t4asm T4ASM --t4vm T4VM --t4dis T4DIS]
                                          checks that malformed documents are refused and, given
                                          the tools, that wrong expectations are noticed

An example is a group of fenced blocks carrying the same `example=NAME` in their info string:

  ```tasm example=NAME      the program, in t4asm assembly (required)
  ```output example=NAME    exact standard output, closing line included (required)
  ```stderr example=NAME    exact standard error (missing: must be empty)
  ```status example=NAME    exit status, one integer (missing: 0)
  ```command example=NAME   the command line: t4vm prog.t4b [EXTRA ...] (missing: no extras)
  ```stdin example=NAME     standard input (missing: empty)
  ```desc example=NAME      hex bytes of a debug descriptor, placed as desc.tndc beside the image
  ```hex example=NAME       the exact bytes t4asm must make of the program, in hex
  ```dis example=NAME       the exact text t4dis must print for the assembled image
  ```asmerror example=NAME  what t4asm must say when it refuses the program; such an example has
                            no other block than its tasm block and is not run

In desc and hex blocks a ';' starts a comment that runs to the end of its line.

A block's text is its lines, each ended by a line feed. Two flags change that: `noeol` drops the
last line feed, and `escaped` decodes \\n \\r \\t \\\\ and \\xNN afterwards (for output holding
carriage returns). A ```tasm fragment block is a piece of assembly shown without output: it is
only assembled, and must assemble.

Anything that could let an example go unchecked is an error: a block of one of the kinds above
without example= (or a tasm block without `fragment`), an unknown attribute or flag, a fence left
open, an example without its program or its output, two blocks of one kind for one example, and a
document without a single example. Each example runs in a scratch directory of its own, which is
also the working directory of the machine.
"""
import difflib
import os
import re
import shlex
import subprocess
import sys
import tempfile

KINDS = ("tasm", "output", "stderr", "status", "command", "stdin", "desc", "hex", "dis", "asmerror")
FLAGS = {"noeol", "escaped", "fragment"}
TEXTKINDS = {"output", "stderr", "stdin"}  # the kinds that may carry noeol and escaped
NAMEPATTERN = re.compile(r"^[A-Za-z0-9_-]+$")
FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})(.*)$")
ESCAPE = re.compile(r"\\(x[0-9A-Fa-f]{2}|.)", re.S)


class DocError(Exception):
    """A document whose examples cannot be read as written."""


class Block:
    def __init__(self, kind, name, flags, lines, line):
        self.kind = kind
        self.name = name
        self.flags = flags
        self.lines = lines
        self.line = line  # line number of the opening fence

    def text(self):
        if not self.lines:
            text = ""
        else:
            text = "\n".join(self.lines) + "\n"
        if "noeol" in self.flags:
            if not text.endswith("\n"):
                raise DocError(f"line {self.line}: 'noeol' on a block with no line to end")
            text = text[:-1]
        data = text.encode("utf-8")
        if "escaped" in self.flags:
            data = unescape(data.decode("utf-8"), self.line)
        return data


def unescape(text, line):
    simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\"}

    def one(match):
        code = match.group(1)
        if code in simple:
            return simple[code]
        if code[0] == "x" and len(code) == 3:
            return chr(int(code[1:], 16))
        raise DocError(f"line {line}: unknown escape '\\{code}'")

    return ESCAPE.sub(one, text).encode("latin-1")


def readblocks(text, source):
    """Every fenced block of one of the example kinds, in document order."""
    blocks = []
    fragments = []
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        match = FENCE.match(lines[i])
        if not match:
            i += 1
            continue
        fence, info = match.group(1), match.group(2).strip()
        opened = i + 1
        body = []
        i += 1
        closed = False
        while i < len(lines):
            closing = FENCE.match(lines[i])
            if (closing and closing.group(1)[0] == fence[0] and len(closing.group(1)) >= len(fence)
                    and closing.group(2).strip() == ""):
                closed = True
                break
            body.append(lines[i])
            i += 1
        if not closed:
            raise DocError(f"{source}:{opened}: fence opened here is never closed")
        i += 1
        tokens = info.split()
        kind = tokens[0].lower() if tokens else ""
        if kind not in KINDS:
            if "example=" in info:
                raise DocError(f"{source}:{opened}: unknown block kind '{tokens[0]}' with example=")
            continue
        if tokens[0] != kind:
            raise DocError(f"{source}:{opened}: block kind must be written '{kind}'")
        name = None
        flags = set()
        for token in tokens[1:]:
            if "=" in token:
                key, value = token.split("=", 1)
                if key != "example":
                    raise DocError(f"{source}:{opened}: unknown attribute '{key}'")
                if name is not None:
                    raise DocError(f"{source}:{opened}: example= given twice")
                if not NAMEPATTERN.match(value):
                    raise DocError(f"{source}:{opened}: bad example name '{value}'")
                name = value
            elif token in FLAGS:
                flags.add(token)
            else:
                raise DocError(f"{source}:{opened}: unknown flag '{token}'")
        if "fragment" in flags:
            if kind != "tasm" or name is not None or len(flags) != 1:
                raise DocError(f"{source}:{opened}: 'fragment' stands alone on a tasm block")
            fragments.append(Block(kind, None, flags, body, opened))
            continue
        if name is None:
            raise DocError(f"{source}:{opened}: {kind} block without example=NAME"
                           + (" (or 'fragment')" if kind == "tasm" else ""))
        if flags - {"fragment"} and kind not in TEXTKINDS:
            raise DocError(f"{source}:{opened}: flags are only allowed on output, stderr and stdin")
        blocks.append(Block(kind, name, flags, body, opened))
    return blocks, fragments


def parse(text, source="<document>"):
    """The examples of a document, as {name: {kind: Block}} in document order, and its fragments."""
    blocks, fragments = readblocks(text, source)
    examples = {}
    for block in blocks:
        example = examples.setdefault(block.name, {})
        if block.kind in example:
            raise DocError(f"{source}:{block.line}: second {block.kind} block for example "
                           f"'{block.name}' (first at line {example[block.kind].line})")
        example[block.kind] = block
    for name, example in examples.items():
        for block in example.values():
            block.text()  # flags and escapes are checked here, before anything runs
        if "asmerror" in example:
            others = set(example) - {"tasm", "asmerror"}
            if others:
                raise DocError(f"{source}:{example['asmerror'].line}: example '{name}' is refused by "
                               f"t4asm and cannot have {', '.join(sorted(others))} blocks")
        for required in ("tasm", "asmerror" if "asmerror" in example else "output"):
            if required not in example:
                first = min(b.line for b in example.values())
                raise DocError(f"{source}:{first}: example '{name}' has no {required} block")
        if "status" in example:
            status = example["status"].text().decode().strip()
            if not re.match(r"^-?[0-9]+$", status):
                raise DocError(f"{source}:{example['status'].line}: status must be one integer")
        if "command" in example:
            commandargs(example["command"], source)
        for kind in ("desc", "hex"):
            if kind in example:
                hexbytes(example[kind], source)
    if not examples:
        raise DocError(f"{source}: no examples found")
    return examples, fragments


def commandargs(block, source):
    if len(block.lines) != 1:
        raise DocError(f"{source}:{block.line}: a command block holds one line")
    words = shlex.split(block.lines[0])
    if len(words) < 2 or words[0] != "t4vm" or words[1] != "prog.t4b":
        raise DocError(f"{source}:{block.line}: the command must read 't4vm prog.t4b [EXTRA ...]'")
    return words[2:]


def hexbytes(block, source):
    digits = "".join("".join(line.split(";", 1)[0].split()) for line in block.lines)
    if len(digits) % 2 or not re.match(r"^[0-9A-Fa-f]*$", digits):
        raise DocError(f"{source}:{block.line}: expected pairs of hex digits")
    return bytes.fromhex(digits)


def difference(label, expected, actual):
    exp = expected.decode("utf-8", "replace").splitlines(True)
    act = actual.decode("utf-8", "replace").splitlines(True)
    diff = "".join(difflib.unified_diff(exp, act, "expected " + label, "actual " + label))
    return f"--- {label} differs\nexpected: {expected!r}\nactual:   {actual!r}\n{diff}"


def runexample(name, example, tools, source):
    failures = []
    with tempfile.TemporaryDirectory(prefix="t4doc-") as scratch:
        image = os.path.join(scratch, "prog.t4b")
        with open(os.path.join(scratch, "prog.tasm"), "wb") as f:
            f.write(example["tasm"].text())
        asm = subprocess.run([tools["t4asm"], "prog.tasm", "-o", "prog.t4b"], cwd=scratch,
                             capture_output=True)
        if "asmerror" in example:
            if asm.returncode != 1:
                failures.append(f"--- t4asm accepted the program (status {asm.returncode})\n")
            expected = example["asmerror"].text()
            if asm.stderr != expected:
                failures.append(difference("t4asm message", expected, asm.stderr))
            return failures
        if asm.returncode != 0:
            return ["t4asm refused the program:\n" + asm.stderr.decode(errors="replace")]
        with open(image, "rb") as f:
            assembled = f.read()
        if "hex" in example:
            expected = hexbytes(example["hex"], source)
            if assembled != expected:
                failures.append(f"--- image bytes differ\nexpected: {expected.hex(' ')}\n"
                                f"actual:   {assembled.hex(' ')}\n")
        if "dis" in example:
            dis = subprocess.run([tools["t4dis"], image], capture_output=True)
            if dis.returncode != 0 or dis.stdout != example["dis"].text():
                failures.append(difference("t4dis output", example["dis"].text(), dis.stdout))
        if "desc" in example:
            with open(os.path.join(scratch, "desc.tndc"), "wb") as f:
                f.write(hexbytes(example["desc"], source))
        extra = commandargs(example["command"], source) if "command" in example else []
        stdin = example["stdin"].text() if "stdin" in example else b""
        try:
            run = subprocess.run([tools["t4vm"], "prog.t4b", *extra], cwd=scratch, input=stdin,
                                 capture_output=True, timeout=60)
        except subprocess.TimeoutExpired:
            return failures + ["t4vm did not finish within 60 seconds"]
        status = int(example["status"].text().decode()) if "status" in example else 0
        if run.returncode != status:
            failures.append(f"--- exit status differs\nexpected: {status}\nactual:   {run.returncode}\n")
        expectedout = example["output"].text()
        if run.stdout != expectedout:
            failures.append(difference("stdout", expectedout, run.stdout))
        expectederr = example["stderr"].text() if "stderr" in example else b""
        if run.stderr != expectederr:
            failures.append(difference("stderr", expectederr, run.stderr))
    return failures


def checkfragment(fragment, tools):
    with tempfile.TemporaryDirectory(prefix="t4doc-") as scratch:
        program = os.path.join(scratch, "fragment.tasm")
        with open(program, "wb") as f:
            f.write(fragment.text())
        asm = subprocess.run([tools["t4asm"], program, "-o", os.path.join(scratch, "f.t4b")],
                             capture_output=True)
        if asm.returncode != 0:
            return ["t4asm refused the fragment:\n" + asm.stderr.decode(errors="replace")]
    return []


def checkdocument(path, tools):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    examples, fragments = parse(text, path)
    failed = 0
    for name, example in examples.items():
        failures = runexample(name, example, tools, path)
        line = example["tasm"].line
        if failures:
            failed += 1
            sys.stdout.write(f"FAIL {name} ({path}:{line})\n" + "".join(failures))
        else:
            sys.stdout.write(f"ok   {name}\n")
    for fragment in fragments:
        failures = checkfragment(fragment, tools)
        if failures:
            failed += 1
            sys.stdout.write(f"FAIL fragment at {path}:{fragment.line}\n" + "".join(failures))
    sys.stdout.write(f"{path}: {len(examples)} examples, {len(fragments)} fragments, "
                     f"{failed} failed\n")
    return failed == 0


# --- self-test: documents that must be refused, and one that must be read --------------------

def fence(info, *lines):
    return "```" + info + "\n" + "".join(line + "\n" for line in lines) + "```\n"


GOOD = ("Text.\n"
        + fence("tasm example=a", "pushconst 1") + fence("output example=a", "", "done")
        + fence("stderr example=a") + fence("status example=a", "3")
        + fence("command example=a", "t4vm prog.t4b quiet")
        + fence("output example=b noeol escaped", "x\\ry") + fence("tasm example=b", "pop")
        + fence("tasm fragment", "pop") + fence("sh", "t4vm prog.t4b"))

MALFORMED = {
    "no examples at all": "Just text.\n" + fence("sh", "ls"),
    "fence left open": fence("tasm example=a", "pop") + "```output example=a\n1\n",
    "program without output": fence("tasm example=a", "pop"),
    "output without program": fence("output example=a", "1"),
    "tasm block without name": fence("tasm", "pop") + fence("tasm example=a", "pop")
    + fence("output example=a"),
    "output block without name": fence("output", "1") + fence("tasm example=a", "pop")
    + fence("output example=a"),
    "two outputs for one example": fence("tasm example=a", "pop") + fence("output example=a")
    + fence("output example=a"),
    "misspelled attribute": fence("tasm example=a", "pop") + fence("output exmaple=a"),
    "unknown flag": fence("tasm example=a", "pop") + fence("output example=a nocheck"),
    "unknown kind with example": fence("tasm example=a", "pop") + fence("output example=a")
    + fence("outptu example=a"),
    "kind in capitals": fence("TASM example=a", "pop") + fence("output example=a"),
    "bad status": fence("tasm example=a", "pop") + fence("output example=a")
    + fence("status example=a", "one"),
    "bad command": fence("tasm example=a", "pop") + fence("output example=a")
    + fence("command example=a", "t4asm prog.tasm"),
    "bad hex": fence("tasm example=a", "pop") + fence("output example=a")
    + fence("hex example=a", "0e 0"),
    "fragment with a name": fence("tasm fragment example=a", "pop") + fence("output example=a"),
    "flag on a program": fence("tasm example=a noeol", "pop") + fence("output example=a"),
    "noeol on an empty block": fence("tasm example=a", "pop") + fence("output example=a noeol"),
    "refused program with output": fence("tasm example=a", "pushconst -1.5")
    + fence("asmerror example=a", "x") + fence("output example=a"),
    "unknown escape": fence("tasm example=a", "pop") + fence("output example=a escaped", "\\q"),
}


def selftest(tools):
    ok = True
    examples, fragments = parse(GOOD)
    checks = [
        (list(examples), ["a", "b"]),
        (examples["a"]["output"].text(), b"\ndone\n"),
        (examples["a"]["stderr"].text(), b""),
        (commandargs(examples["a"]["command"], "-"), ["quiet"]),
        (examples["b"]["output"].text(), b"x\ry"),
        (len(fragments), 1),
    ]
    for actual, expected in checks:
        if actual != expected:
            sys.stdout.write(f"FAIL well-formed document read wrongly: {actual!r} != {expected!r}\n")
            ok = False
    for label, text in MALFORMED.items():
        try:
            examples, fragments = parse(text)
            for example in examples.values():  # texts are decoded when examples run
                for block in example.values():
                    block.text()
        except DocError as refusal:
            sys.stdout.write(f"ok   refused {label}: {refusal}\n")
            continue
        sys.stdout.write(f"FAIL accepted a document with {label}\n")
        ok = False
    if len(tools) == 3:
        ok = selftestruns(tools) and ok
    return ok


# Examples run on the real tools: the right expectations must pass, each wrong one must fail.
RIGHT = (fence("tasm example=right", "pushconst 7") + fence("hex example=right", "0e 00 00 00 00 07")
         + fence("dis example=right", "pushconst 7")
         + fence("output example=right", "", "<TARN 4> Program finished with code 7")
         + fence("tasm example=quiet", "pushconst 1", "pop", "pop")
         + fence("command example=quiet", "t4vm prog.t4b quiet") + fence("output example=quiet")
         + fence("stderr example=quiet", "TARN 4 VM error within module: datastack empty!")
         + fence("status example=quiet", "1")
         + fence("tasm example=refused", "pushconst -1.5")
         + fence("asmerror example=refused", "prog.tasm:1:11: negative floats cannot be encoded"))

WRONG = {
    "stdout": fence("tasm example=w", "pushconst 7") + fence("output example=w", "", "<TARN 4> Program finished."),
    "status": fence("tasm example=w", "pop") + fence("command example=w", "t4vm prog.t4b quiet")
    + fence("output example=w") + fence("stderr example=w", "TARN 4 VM error within module: datastack empty!"),
    "stderr": fence("tasm example=w", "pop") + fence("command example=w", "t4vm prog.t4b quiet")
    + fence("output example=w") + fence("status example=w", "1"),
    "image bytes": fence("tasm example=w", "pushconst 7") + fence("hex example=w", "0e 00 00 00 00 08")
    + fence("output example=w", "", "<TARN 4> Program finished with code 7"),
    "disassembly": fence("tasm example=w", "pushconst 7") + fence("dis example=w", "pushconst 8")
    + fence("output example=w", "", "<TARN 4> Program finished with code 7"),
    "assembler message": fence("tasm example=w", "pushconst -1.5") + fence("asmerror example=w", "no"),
    "program that does not assemble": fence("tasm example=w", "pushconst -1.5") + fence("output example=w"),
    "program that assembles": fence("tasm example=w", "pop") + fence("asmerror example=w", "x"),
    "standard input": fence("tasm example=w", "enterattr stdin", "loadattr read", "call 0", "leave",
                            "enterattr stdout", "loadattr write", "call 1")
    + fence("stdin example=w", "other") + fence("output example=w", "typed", "", "<TARN 4> Program finished."),
}


def selftestruns(tools):
    ok = True
    examples, fragments = parse(RIGHT)
    for name, example in examples.items():
        failures = runexample(name, example, tools, "<self-test>")
        if failures:
            sys.stdout.write(f"FAIL right example '{name}' was not passed:\n" + "".join(failures))
            ok = False
        else:
            sys.stdout.write(f"ok   passed right example '{name}'\n")
    for label, text in WRONG.items():
        examples, fragments = parse(text)
        if runexample("w", examples["w"], tools, "<self-test>"):
            sys.stdout.write(f"ok   noticed wrong {label}\n")
        else:
            sys.stdout.write(f"FAIL did not notice wrong {label}\n")
            ok = False
    return ok


def main(argv):
    tools = {}
    documents = []
    listing = False
    selftesting = False
    i = 0
    while i < len(argv):
        arg = argv[i]
        if arg == "--self-test":
            selftesting = True
        elif arg == "--list":
            listing = True
        elif arg in ("--t4asm", "--t4vm", "--t4dis"):
            if i + 1 == len(argv):
                sys.stderr.write(f"{arg} needs a path\n")
                return 2
            tools[arg[2:]] = argv[i + 1]
            i += 1
        else:
            documents.append(arg)
        i += 1
    if selftesting:
        return 0 if selftest(tools) else 1
    if not documents:
        sys.stderr.write(__doc__)
        return 2
    try:
        if listing:
            for path in documents:
                with open(path, encoding="utf-8") as f:
                    examples, fragments = parse(f.read(), path)
                for name in examples:
                    sys.stdout.write(name + "\n")
            return 0
        missing = [t for t in ("t4asm", "t4vm", "t4dis") if t not in tools]
        if missing:
            sys.stderr.write("missing --" + ", --".join(missing) + "\n")
            return 2
        ok = True
        for path in documents:
            ok = checkdocument(path, tools) and ok
        return 0 if ok else 1
    except DocError as refusal:
        sys.stdout.write(f"MALFORMED {refusal}\n")
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
