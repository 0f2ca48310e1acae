#!/usr/bin/env python3
"""The machine against real descriptors, pipes, signals and devices: io_test.py T4ASM T4VM GROUP

Every case runs t4vm (or t4asm) as a child process in a scratch directory, so closed pipes, closed
standard descriptors, full devices and memory limits are the system's own. GROUP is one of
pipes, descriptors, full, memory, assembler; each ends in "ok" lines or the failures found.
"""
import os
import resource
import subprocess
import sys
import tempfile
from pathlib import Path

END = b"\n<TARN 4> Program finished.\n"
FULL = 'Write failed for "/dev/full": No space left on device'


def writes(path, text, close=True):
    """Assembly that writes `text` to a new file at `path` and closes it or leaves it open."""
    return (f'pushconst "{path}"\npushconst "write"\nloadlocal open\ncall 2\nenter\n'
            f'pushconst "{text}"\nloadattr write\ncall 1\n' + ("loadattr close\ncall 0\n" if close else "") + "leave\n")


def prints(text):
    return f'pushconst "{text}"\nenterattr stdout\nloadattr write\ncall 1\nleave\n'


def repeat(times, body):
    """`body` run `times` times, in a while loop on the local `i`."""
    return (f"pushconst 1\nstorelocal i\npushconst 1\nwhileblock {{\n{body}"
            f"pushconst 1\nloadlocal i\nadd\nstorelocal i\npushconst {times}\nloadlocal i\nlessequal\n}}\n")


# Ends the run with an error report: an object of an unknown mode has no stream to close.
FAILS = 'pushconst "x"\npushconst "append"\nloadlocal open\ncall 2\nenter\nloadattr close\ncall 0\n'


class Case:
    def __init__(self, t4asm, t4vm, scratch):
        self.t4asm, self.t4vm, self.scratch = t4asm, t4vm, Path(scratch)
        self.failures = []

    def image(self, source):
        (self.scratch / "prog.tasm").write_text(source)
        subprocess.run([self.t4asm, "prog.tasm", "-o", "prog.t4b"], cwd=self.scratch, check=True, timeout=60)
        return "prog.t4b"

    def run(self, source, *extra, **options):
        options.setdefault("capture_output", "stdout" not in options and "stderr" not in options)
        return subprocess.run([self.t4vm, self.image(source), *extra], cwd=self.scratch, timeout=120, **options)

    def file(self, name):
        path = self.scratch / name
        return path.read_bytes() if path.exists() else None

    def expect(self, what, seen, wanted):
        if seen != wanted:
            self.failures.append(f"{what}: {seen!r} instead of {wanted!r}")


def closing(fd):
    return lambda: os.close(fd)


# pipes: a reader that leaves early no longer kills the machine.

def case_closed_pipe_stops_output_and_the_run_goes_on(c, program_end, status, report):
    source = writes("before.txt", "kept\\n", close=False) + repeat(20000, prints("a line of output\\n"))
    source += writes("after.txt", "ran on\\n", close=False) + program_end
    image = c.image(source)
    with open(c.scratch / "err.txt", "wb") as err:
        vm = subprocess.Popen([c.t4vm, image], cwd=c.scratch, stdout=subprocess.PIPE, stderr=err)
        head = subprocess.run(["head", "-c", "10"], stdin=vm.stdout, capture_output=True, timeout=120)
        vm.stdout.close()
        vm.wait(timeout=120)
    c.expect("what head saw", head.stdout, b"a line of ")
    c.expect("exit status (negative: a signal)", vm.returncode, status)
    c.expect("first report line", c.file("err.txt").split(b"\n")[0], report)
    c.expect("file left open before the output stopped", c.file("before.txt"), b"kept\n")
    c.expect("file left open after the output stopped", c.file("after.txt"), b"ran on\n")


def pipes(c):
    case_closed_pipe_stops_output_and_the_run_goes_on(c, "", 0, b"")
    case_closed_pipe_stops_output_and_the_run_goes_on(
        c, FAILS, 1, b"TARN 4 VM error within module: No such param: file")
    # Commands run by `system` are ended by a closed pipe as usual: `yes` would otherwise complain
    # about its failed writes on the standard error.
    result = c.run('pushconst "yes | head -c 1 >/dev/null"\nloadlocal system\ncall 1\nenterattr stdout\n'
                   'loadattr write\ncall 1\nleave\n')
    c.expect("system status and output", (result.stdout, result.stderr, result.returncode), (b"0" + END, b"", 0))


# descriptors: a standard descriptor closed at start-up is never handed to a program's file.

def descriptors(c):
    result = c.run(writes("out.txt", "data\\n", close=False), capture_output=False, preexec_fn=closing(1))
    c.expect("stdout closed: status", result.returncode, 0)
    c.expect("stdout closed: the program's file", c.file("out.txt"), b"data\n")

    result = c.run(writes("out.txt", "data\\n", close=False) + FAILS, stdout=subprocess.PIPE, preexec_fn=closing(2))
    c.expect("stderr closed: status and output", (result.returncode, result.stdout), (1, b""))
    c.expect("stderr closed: the program's file", c.file("out.txt"), b"data\n")

    (c.scratch / "input.txt").write_text("secret\n")
    # Opens input.txt, then prints "[" + stdin.read() + "]".
    source = ('pushconst "input.txt"\npushconst "read"\nloadlocal open\ncall 2\nstorelocal f\npushconst "]"\n'
              'enterattr stdin\nloadattr read\ncall 0\nleave\npushconst "["\nadd\nadd\n'
              'enterattr stdout\nloadattr write\ncall 1\nleave\n')
    result = c.run(source, preexec_fn=closing(0))
    c.expect("stdin closed: what stdin gave", (result.stdout, result.stderr, result.returncode), (b"[]" + END, b"", 0))

    # A command run by `system` inherits none of the files the program has open.
    if os.path.isdir("/proc/self/fd"):
        source = ('pushconst "input.txt"\npushconst "read"\nloadlocal open\ncall 2\nstorelocal f\n'
                  + writes("out.txt", "data\\n", close=False)
                  + 'pushconst "ls -l /proc/self/fd/"\nloadlocal system\ncall 1\n')
        result = c.run(source, "quiet")
        listing = result.stdout.decode()
        c.expect("files seen by a system command", [name for name in ("input.txt", "out.txt") if name in listing], [])


# full: data that cannot be written is reported, never passed off as written.

def full(c):
    if not os.path.exists("/dev/full"):
        print("skipped: no /dev/full here")
        return
    result = c.run(writes("/dev/full", "some data\\n"), "quiet")
    c.expect("closed file", (result.stdout, result.stderr, result.returncode),
             (b"", f"TARN 4 VM error within module: {FULL}\n".encode(), 1))

    result = c.run(writes("/dev/full", "some data\\n", close=False))
    c.expect("file left open: status and output, no closing line", (result.returncode, result.stdout), (1, b""))
    c.expect("file left open: report", result.stderr.split(b"\n")[0], f"TARN 4 VM error: {FULL}".encode())

    # More than any buffer holds: the write that fails stops the program there.
    body = prints("x" * 1000).replace("enterattr stdout", 'loadlocal f\nenter')
    source = 'pushconst "/dev/full"\npushconst "write"\nloadlocal open\ncall 2\nstorelocal f\n'
    result = c.run(source + repeat(1000, body) + prints("after the loop"), "quiet")
    c.expect("large writes", (result.stdout, result.stderr, result.returncode),
             (b"", f"TARN 4 VM error within module: {FULL}\n".encode(), 1))

    # Another failure ends the run; the lost data still gets its line after that report.
    result = c.run(writes("/dev/full", "some data\\n", close=False) + FAILS, "quiet")
    c.expect("report, then the lost file", (result.stderr, result.returncode),
             (f"TARN 4 VM error within module: No such param: file\nTARN 4 VM error: {FULL}\n".encode(), 1))

    report = b"TARN 4 VM error: Write failed for stdout: No space left on device\n"
    for extra, stderr in (((), report + b"Codestack: \n"), (("quiet",), report)):
        with open("/dev/full", "wb") as devfull:
            result = c.run(prints("hello\\n"), *extra, stdout=devfull, stderr=subprocess.PIPE)
        c.expect(f"stdout full {extra}", (result.stderr[:len(stderr)], result.returncode), (stderr, 1))


# memory: input without end ends in the out-of-memory report.

def memory(c):
    def limited():
        resource.setrlimit(resource.RLIMIT_AS, (128 << 20, 128 << 20))

    wanted = (b"", b"TARN 4 VM error: Out of memory.\n", 1)
    for method in ("read", "getline"):
        source = f'pushconst "/dev/zero"\npushconst "read"\nloadlocal open\ncall 2\nenter\nloadattr {method}\ncall 0\n'
        result = c.run(source, "quiet", preexec_fn=limited)
        c.expect(f"/dev/zero {method}", (result.stdout, result.stderr, result.returncode), wanted)
        with open("/dev/zero", "rb") as zeros:
            result = c.run(f"enterattr stdin\nloadattr {method}\ncall 0\n", "quiet", stdin=zeros,
                           capture_output=True, preexec_fn=limited)
        c.expect(f"stdin {method} from /dev/zero", (result.stdout, result.stderr, result.returncode), wanted)


# assembler: an input without instructions is an empty image.

def assembler(c):
    for text in ("", "; only a comment\n\n   ; and another\n"):
        (c.scratch / "empty.tasm").write_text(text)
        (c.scratch / "empty.t4b").write_bytes(b"left over")
        result = subprocess.run([c.t4asm, "empty.tasm"], cwd=c.scratch, capture_output=True, timeout=60)
        c.expect(f"t4asm of {text!r}", (result.returncode, result.stderr, c.file("empty.t4b")), (0, b"", b""))


GROUPS = {"pipes": pipes, "descriptors": descriptors, "full": full, "memory": memory, "assembler": assembler}


def main(t4asm, t4vm, group):
    with tempfile.TemporaryDirectory(prefix="t4io-") as scratch:
        case = Case(t4asm, t4vm, scratch)
        GROUPS[group](case)
    print("\n".join(case.failures) or f"ok   {group}")
    return 1 if case.failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
