#!/usr/bin/env python3
"""t4db driven through pipes, and the source positions t4vm adds to reports; the exact text of a
session, a trace, a profile and a report with positions is pinned by the examples of docs/tools.md.

Usage: db_test.py T4ASM T4VM T4DB GROUP (breakpoints, stepping, inspection, tasks, errors, trace,
profile, positions). Under t4db the program's stdout and status must be t4vm's, and its stderr
lines must appear intact among the debugger's.
"""
import os
import re
import subprocess
import sys
import tempfile

# A function called from the top level, an if block and a global; ";@NAME" marks a line to find.
CALLS = """\
pushconst func {        ; square(n)
    loadlocal arg0      ;@square
    loadlocal arg0
    mul
}
storelocal square
pushconst 3
storelocal n            ;@storen
pushconst "start\\n"
enterattr stdout
loadattr write
call 1
leave
pushconst 1
ifblock {
    pushconst 5         ;@inblock
    storelocal inblock
}
pushconst 12            ;@afterblock
loadlocal square
call 1                  ;@call
storeglobal result      ;@aftercall
pushconst "\\n"
loadglobal result
loadlocal str
call 1
add
enterattr stdout
loadattr write
call 1
leave
"""

# A task that writes two lines while the main program writes one; the main program stops it.
TASKS = """\
pushconst func {
    pushconst "t1\\n"   ;@task
    enterattr stdout
    loadattr write
    call 1
    pushconst "t2\\n"
    loadattr write
    call 1
    leave
    pushconst 1
    whileblock {
        pushconst 1
    }
}
loadlocal _taskcreate
call 1
dup
loadlocal _taskstart
call 1
pushconst "m1\\n"      ;@main
enterattr stdout
loadattr write
call 1
leave
pushconst 1
pushconst 1
add
pop
enter
loadattr id
leave
loadlocal _taskstop
call 1
"""

# A recursion 1000 calls deep, each call through an if block.
DEEP = """\
pushconst func {
    loadlocal arg0
    dup
    ifblock {
        pushconst -1
        add
        loadlocal depth
        call 1
    }
}
storelocal depth
pushconst 1000
loadlocal depth
call 1
"""

# A function that fails on a missing variable, called with an argument.
FAILING = """\
pushconst func {
    pushconst "left on the stack"
    loadlocal missing   ;@missing
    pop
}
storelocal f
pushconst 1
loadlocal f
call 1                  ;@callf
pop
"""

# The same report from the machine without a map, as it has always been written.
FAILING_REPORT = """\
TARN 4 VM error: Local variable not found: missing
Codestack: 
22 
-------------------------
22 
-------------------------

Calltrace: 
  > f
  < PROGRAM_ROOT of identifier: BUILTIN_FUNC
Datastack is as follows:
Unnamed Variable with identifier BUILTIN_STRING
"""

# A native that fails (its entry has no frame) and a class whose init fails (so has the class's).
NATIVE = """\
pushconst 7
loadlocal _taskstart
call 1                  ;@native
"""
CLASS = """\
pushconst class
storelocal Thing
enterattr Thing
pushconst func {
    loadlocal nothing   ;@init
}
storeattr init
leave
loadlocal Thing
call 0                  ;@construct
"""
# A failure inside a task: only the task's context is shown.
TASKFAIL = """\
pushconst func {
    pushconst 1
    loadlocal missing   ;@taskmissing
}
loadlocal _taskcreate
call 1
loadlocal _taskstart
call 1                  ;@start
pushconst 1
pop
pushconst 1
pop
"""


def line_of(source, mark):
    for number, text in enumerate(source.splitlines(), 1):
        if text.rstrip().endswith(";@" + mark):
            return number
    raise KeyError(mark)


class Checks:
    def __init__(self, t4asm, t4vm, t4db, scratch):
        self.t4asm, self.t4vm, self.t4db, self.scratch = t4asm, t4vm, t4db, scratch
        self.failures = []

    def check(self, what, condition, detail=""):
        if not condition:
            self.failures.append(f"{what}{': ' + str(detail) if detail else ''}")

    def equal(self, what, want, got):
        self.check(what, want == got, f"expected {want!r}, got {got!r}")

    def assemble(self, source, name="prog", debug=True):
        with open(os.path.join(self.scratch, name + ".tasm"), "w") as f:
            f.write(source)
        image = name + ".t4b"
        result = subprocess.run([self.t4asm, *(["-g"] if debug else []), name + ".tasm", "-o", image],
                                cwd=self.scratch, capture_output=True)
        if result.returncode != 0:
            raise RuntimeError(result.stderr.decode())
        return image

    def run(self, command, stdin=b""):
        return subprocess.run(command, cwd=self.scratch, input=stdin, capture_output=True, timeout=60)

    def debug(self, image, commands, *options):
        """t4db on the image with the commands on standard input; its run checked against t4vm's."""
        session = self.run([self.t4db, *options, image], "".join(c + "\n" for c in commands).encode())
        self.same_program(image, session)
        return session.stderr.decode()

    def same_program(self, image, session):
        plain = self.run([self.t4vm, image])
        self.equal(f"{image}: program output under t4db", plain.stdout, session.stdout)
        self.equal(f"{image}: exit status under t4db", plain.returncode, session.returncode)
        # The program's own lines of standard error come through whole and in order.
        lines = iter(session.stderr.decode().splitlines())
        for wanted in plain.stderr.decode().splitlines():
            self.check(f"{image}: program's stderr line {wanted!r} under t4db", any(line == wanted for line in lines))

    def stops(self, text):
        """The stop lines: (reason, context, offset, position)."""
        return re.findall(r"^(Breakpoint \d+|Stopped[^,]*), context (-?\d+), offset (\d+)(?: at (\S+))?$", text, re.M)

    def offset_of(self, image, line):
        """The offset of the instruction written on a line, by the map."""
        with open(os.path.join(self.scratch, image + ".map")) as f:
            for record in f:
                fields = record.split()
                if fields[0] == "instr" and int(fields[4]) == line:
                    return int(fields[1])
        raise KeyError(line)


def breakpoints(c):
    image = c.assemble(CALLS)
    call, square = line_of(CALLS, "call"), line_of(CALLS, "square")
    offset = c.offset_of(image, square)
    out = c.debug(image, [f"break prog.tasm:{call}", f"break {offset}", "break", "run", "continue", "continue"])
    stops = c.stops(out)
    c.equal("stops at a line, then at an offset", [("Breakpoint 1", "0", str(c.offset_of(image, call)), f"prog.tasm:{call}:1"),
                                                  ("Breakpoint 2", "0", str(offset), f"prog.tasm:{square}:5")], stops)
    c.check("the breakpoints are listed", re.search(r"^  1  prog.tasm:\d+\n  2  \d+$", out, re.M) is not None, out)
    # A deleted breakpoint stops nothing; bad locations are refused.
    out = c.debug(image, [f"break prog.tasm:{call}", "delete 1", "break 1", "break prog.tasm:9999",
                          "break nowhere.tasm:3", "delete 7", "run"])
    c.equal("no stop after delete", [], c.stops(out))
    c.check("an offset inside an instruction is refused", "No instruction starts at offset 1." in out, out)
    c.check("a line without instructions is refused", "No instruction on line 9999 of prog.tasm." in out, out)
    c.check("an unknown file is refused", "No source file nowhere.tasm in the map." in out, out)
    c.check("an unknown breakpoint number is told", "No breakpoint 7." in out, out)
    out = c.debug(image, [f"break prog.tasm:{call + 2**32}", "run"])
    c.check("a line past 2^32 does not wrap to a short one", f"No instruction on line {call + 2**32} of" in out, out)
    # Without a map, lines cannot be used but offsets can.
    bare = c.assemble(CALLS, "bare", debug=False)
    out = c.debug(bare, ["break prog.tasm:3", "break 0", "run", "continue"])
    c.check("FILE:LINE needs a map", "No source map for bare.t4b" in out, out)
    c.equal("an offset works without a map", [("Breakpoint 1", "0", "0", "")], c.stops(out))
    # The end of the commands lets the program run to its end.
    out = c.debug(image, [f"break prog.tasm:{call}", "run"])
    c.check("end of input continues", "End of commands: the program runs to its end." in out, out)
    # quit stops the program where it is.
    session = c.run([c.t4db, image], f"break prog.tasm:{call}\nrun\nquit\n".encode())
    c.equal("quit: what the program wrote so far", b"start\n", session.stdout)
    c.equal("quit: status", 0, session.returncode)
    # A map may name a pipe as the source: the source line is left out rather than waited for.
    os.mkfifo(os.path.join(c.scratch, "pipe.tasm"))
    with open(os.path.join(c.scratch, image + ".map")) as f:
        text = f.read()
    with open(os.path.join(c.scratch, image + ".map"), "w") as f:
        f.write(re.sub(r"^file 0 .*$", "file 0 pipe.tasm", text, flags=re.M))
    out = c.debug(image, ["break 0", "run"])
    c.equal("a piped source does not stop the session", [("Breakpoint 1", "0", "0", "pipe.tasm:1:1")], c.stops(out))


def stepping(c):
    image = c.assemble(CALLS)
    at = {mark: (str(c.offset_of(image, line_of(CALLS, mark))), f"prog.tasm:{line_of(CALLS, mark)}")
          for mark in ("call", "aftercall", "square", "storen", "inblock", "afterblock")}

    def positions(out):
        return [(offset, position.rsplit(":", 1)[0]) for _, _, offset, position in c.stops(out)]

    out = c.debug(image, [f"break {at['call'][1]}", "run", "step", "step", "finish"])
    c.equal("step into a call, step in it, finish out of it",
            [at["call"], at["square"], (str(int(at["square"][0]) + 7), at["square"][1].replace(
                f":{line_of(CALLS, 'square')}", f":{line_of(CALLS, 'square') + 1}")), at["aftercall"]], positions(out))
    out = c.debug(image, [f"break {at['call'][1]}", "run", "next", "next"])
    c.equal("next over a call", [at["call"], at["aftercall"]], positions(out)[:2])
    ifline = line_of(CALLS, "inblock") - 1
    ifoffset = str(c.offset_of(image, ifline))
    out = c.debug(image, [f"break prog.tasm:{ifline}", "run", "next"])
    c.equal("next over a block", [(ifoffset, f"prog.tasm:{ifline}"), at["afterblock"]], positions(out))
    out = c.debug(image, [f"break prog.tasm:{ifline}", "run", "step", "finish"])
    c.equal("step into a block and finish it",
            [(ifoffset, f"prog.tasm:{ifline}"), at["inblock"], at["afterblock"]], positions(out))
    out = c.debug(image, [f"break {at['storen'][1]}", "run", "next", "step", "step"])
    c.equal("steps at the top level follow one another", 4, len(c.stops(out)))
    offsets = [int(offset) for offset, _ in positions(out)]
    c.check("each step moves forward", offsets == sorted(set(offsets)), str(offsets))
    out = c.debug(image, ["step"])
    c.check("step before run is refused", "The program is not running: 'run' starts it." in out, out)


def inspection(c):
    image = c.assemble(CALLS)
    out = c.debug(image, [f"break prog.tasm:{line_of(CALLS, 'call')}", "run", "locals", "print n",
                          "print missing", "next", "next", "globals", "print result"])
    c.check("locals: a block's variable was taken over", "  inblock = 5 (BUILTIN_INT)" in out, out)
    c.check("print finds a top-level variable", "  n = 3 (BUILTIN_INT)  [program root]" in out, out)
    c.check("print names what it does not find", "No variable missing." in out, out)
    c.check("globals and print show the stored global",
            out.count("result = 144 (BUILTIN_INT)") == 2 and "[global]" in out, out)
    out = c.debug(image, ["stack"])
    c.check("inspection needs a stopped program", "The program is not running" in out, out)


def tasks(c):
    image = c.assemble(TASKS)
    task = line_of(TASKS, "task")
    out = c.debug(image, [f"break prog.tasm:{task}", "run", "tasks", "step", "step", "backtrace", "continue"])
    stops = c.stops(out)
    c.equal("the breakpoint in the task stops in its context", ("Breakpoint 1", "41"), stops[0][:2])
    c.check("tasks lists both contexts, the stopped one marked",
            re.search(r"^  0 main program, 1 frames, offset \d+ at prog.tasm:\d+:1\n\* 41 task, 1 frames, "
                      rf"offset \d+ at prog.tasm:{task}:5$", out, re.M) is not None, out)
    c.equal("steps stay in the task's context", ["41", "41"], [context for _, context, _, _ in stops[1:3]])
    c.equal("and follow its instructions", [f"prog.tasm:{task + 1}:5", f"prog.tasm:{task + 2}:5"],
            [position for _, _, _, position in stops[1:3]])
    c.check("the task's backtrace starts at its function", re.search(r"^  #0  Unnamed Variable, offset \d+ at prog.tasm:"
                                                                   rf"{task + 2}:5$", out, re.M) is not None, out)
    main = line_of(TASKS, "main")
    out = c.debug(image, [f"break prog.tasm:{main}", "run", "next", "next"])
    c.equal("next in the main program skips the task's instructions", ["0", "0", "0"], [s[1] for s in c.stops(out)])


def errors(c):
    image = c.assemble(FAILING)
    missing, callf = line_of(FAILING, "missing"), line_of(FAILING, "callf")
    out = c.debug(image, ["break error", "run", "backtrace", "stack", "locals", "continue"])
    c.check("stops before the report", "Error about to be reported: Local variable not found: missing\n"
            f"Stopped at the error, context 0, offset 26 at prog.tasm:{missing}:5\n" in out, out)
    c.check("the report is still whole while stopped", out.index("Stopped at the error") < out.index("TARN 4 VM error"), out)
    c.check("backtrace at the error", f"  #0  f, offset 26 at prog.tasm:{missing}:5\n"
            f"  #1  PROGRAM_ROOT, offset 51 at prog.tasm:{callf}:1\n" in out, out)
    c.check("the stack at the error", '  #0  Unnamed Variable = "left on the stack" (BUILTIN_STRING)' in out, out)
    c.check("the argument is a local at the error", "  arg0 = 1 (BUILTIN_INT)" in out, out)
    c.check("the report follows, with positions", f"  at prog.tasm:{missing}:5\n  at prog.tasm:{callf}:1\n" in out, out)
    out = c.debug(image, ["run"])
    c.check("without 'break error' the report is not stopped at", "Error about to be reported" not in out, out)


def trace(c):
    # Without a map the positions are dashes; a failing program's report comes after its last line.
    bare = c.assemble(FAILING, "bare", debug=False)
    session = c.run([c.t4db, "--trace", bare])
    c.same_program(bare, session)
    text = session.stderr.decode()
    c.check("the failing instruction's line ends in (report)",
            "0 | 26 | - | loadlocal missing | (report)\nTARN 4 VM error" in text, text)
    c.check("and the report after it is whole", text.endswith(FAILING_REPORT[FAILING_REPORT.index("Codestack"):]), text)
    # Tasks: lines of both contexts.
    tasks = c.assemble(TASKS, "tasks")
    session = c.run([c.t4db, "--trace", tasks])
    c.same_program(tasks, session)
    contexts = {line.split(" | ")[0] for line in session.stderr.decode().splitlines()}
    c.equal("tasks' lines carry their context ids", {"0", "41"}, contexts)


def profile(c):
    for source, name in ((CALLS, "calls"), (TASKS, "tasks")):  # the counts add up, also across tasks
        image = c.assemble(source, name)
        traced = len(c.run([c.t4db, "--trace", image]).stderr.decode().splitlines())
        session = c.run([c.t4db, "--profile", "--profile-out", name + ".folded", image])
        c.same_program(image, session)
        text = session.stderr.decode()
        total = re.search(r"^Profile: (\d+) instructions executed$", text, re.M)
        c.check(f"{name}: the total is given", total is not None, text)
        if total is None:
            continue
        c.equal(f"{name}: the total is the number of instructions traced", traced, int(total[1]))
        functions = re.findall(r"^ +(\d+) +(\d+) +[\d.]+ ms +[\d.]+ ms  (.*)$",
                               text[text.index("By function:"):text.index("By opcode:")], re.M)
        opcodes = re.findall(r"^ +(\d+) +[\d.]+ ms  (\w+)$", text[text.index("By opcode:"):], re.M)
        c.equal(f"{name}: self counts add up", traced, sum(int(s) for s, _, _ in functions))
        c.equal(f"{name}: opcode counts add up", traced, sum(int(n) for n, _ in opcodes))
        with open(os.path.join(c.scratch, name + ".folded")) as f:
            folded = [line.rsplit(" ", 1) for line in f.read().splitlines()]
        c.equal(f"{name}: folded counts add up", traced, sum(int(n) for _, n in folded))
        for where in ("nowhere/" + name + ".folded", "/dev/full"):
            failed = c.run([c.t4db, "--profile", "--profile-out", where, image])
            c.check(f"{name}: a profile not written to {where} is a failure",
                    failed.returncode == 2 and f"t4db: cannot write {where}" in failed.stderr.decode(), failed)
        if name == "tasks":
            c.check("a task's own stack starts at its function",
                    any(stack.startswith("Unnamed_Variable@") for stack, _ in folded), folded)
    # Deep paths keep their ends and share lines, so the file does not grow with depth squared.
    image = c.assemble(DEEP, "deep")
    session = c.run([c.t4db, "--profile", "--profile-out", "deep.folded", image])
    total = int(re.search(r"^Profile: (\d+) instructions", session.stderr.decode(), re.M)[1])
    with open(os.path.join(c.scratch, "deep.folded")) as f:
        folded = [line.rsplit(" ", 1) for line in f.read().splitlines()]
    c.equal("deep folded counts add up", total, sum(int(n) for _, n in folded))
    c.check("deep paths are cut to their ends", max(stack.count(";") for stack, _ in folded) == 128, folded[-1][0][:200])
    c.check("and share their lines", len(folded) < 200, len(folded))


def positions(c):
    plain = c.assemble(FAILING, "plain", debug=False)
    mapped = c.assemble(FAILING, "mapped")
    without = c.run([c.t4vm, plain])
    c.equal("without a map the report is as it always was", FAILING_REPORT.encode(), without.stderr)
    c.equal("status", 1, without.returncode)
    c.equal("silent runs leave them out", b"TARN 4 VM error: Local variable not found: missing\n",
            c.run([c.t4vm, mapped, "quiet"]).stderr)
    for what, text in (("a map of another image", "t4map 1\nimage 3\n"), ("a malformed map", "not a map\n")):
        with open(os.path.join(c.scratch, "plain.t4b.map"), "w") as f:
            f.write(text)
        c.equal(f"{what} is left out", FAILING_REPORT.encode(), c.run([c.t4vm, plain]).stderr)
    os.remove(os.path.join(c.scratch, "plain.t4b.map"))
    os.mkdir(os.path.join(c.scratch, "plain.t4b.map"))
    c.equal("a directory for a map is left out", FAILING_REPORT.encode(), c.run([c.t4vm, plain]).stderr)
    session = c.run([c.t4db, "--trace", plain])
    c.check("and t4db says so", "t4db: the map is left out: plain.t4b.map is not a regular file" in session.stderr.decode(),
            session.stderr)
    c.same_program(plain, session)
    session = c.run([c.t4db, "--trace", "."])
    c.equal("an image that is a directory is t4db's failure", (2, b"t4db: cannot read .\n"),
            (session.returncode, session.stderr))
    # An entry without a frame of its own stands at the call that made it.
    native = c.run([c.t4vm, c.assemble(NATIVE, "native")]).stderr.decode()
    line = line_of(NATIVE, "native")
    c.check("a failing native stands at its call",
            native.endswith(f"  at native.tasm:{line}:1\n  at native.tasm:{line}:1\n") and "within module" in native, native)
    klass = c.run([c.t4vm, c.assemble(CLASS, "klass")]).stderr.decode()
    init, construct = line_of(CLASS, "init"), line_of(CLASS, "construct")
    c.check("a class whose init fails: init, the class at the call, the root at the call", klass.endswith(
        f"  at klass.tasm:{init}:5\n  at klass.tasm:{construct}:1\n  at klass.tasm:{construct}:1\n"), klass)
    # A task's failure shows the task's context only: its function and nothing of the main program.
    task = c.run([c.t4vm, c.assemble(TASKFAIL, "task")]).stderr.decode()
    c.check("a task's report has its own positions",
            task.endswith("Calltrace: \n  > Unnamed Variable\nDatastack is as follows:\nUnnamed Variable with identifier "
                      f"BUILTIN_INT\n  at task.tasm:{line_of(TASKFAIL, 'taskmissing')}:5\n"),
            task)


GROUPS = {f.__name__: f for f in (breakpoints, stepping, inspection, tasks, errors, trace, profile, positions)}


def main(t4asm, t4vm, t4db, group):
    with tempfile.TemporaryDirectory(prefix="t4db-") as scratch:
        checks = Checks(t4asm, t4vm, t4db, scratch)
        GROUPS[group](checks)
    for failure in checks.failures:
        print("FAIL", failure)
    if not checks.failures:
        print("ok", group)
    return 1 if checks.failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
