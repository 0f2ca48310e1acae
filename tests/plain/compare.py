#!/usr/bin/env python3
"""Runs every program the project has on the normal build of the machine and on the plain one
(-DT4VM_PLAIN=ON, none of the shortcuts of src/vm/shortcuts.h, so the copy rules literally) and
compares stdout, stderr, the exit status and the files left behind byte for byte: any difference is
a shortcut a program can observe. The inputs: every tests/programs/**/*.tasm and examples/*.tasm
(but the echo pair) set up as runprogram.py sets them up, every docs example that runs the machine
(as check_docs.py sets it up), and every file of fuzz/corpus/machine and fuzz/regressions/machine,
run in-process under the fuzz harness's sandbox by the build's tests/plain/sandboxrun. Images are
assembled once, by the fast build's t4asm. Exit status 1 when runs differ, 2 when an input could
not be run.
"""
import argparse
import collections
import concurrent.futures
import os
import shlex
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "docs"))
import check_docs  # noqa: E402  (the documents' example extraction, shared with their test)

SECONDS_PER_RUN = 120  # as runprogram.py allows one program
SECONDS_PER_BATCH = 900  # a sandboxrun process replaying its share of the fuzz inputs

# `files`: path left in the scratch directory -> bytes (None for a directory); empty for fuzz runs.
Run = collections.namedtuple("Run", "status stdout stderr files", defaults=({},))

Case = collections.namedtuple("Case", "key files tree args stdin")


class HarnessError(Exception):
    """An input that could not be run at all, on either build."""


def stop(message):
    print(f"compare.py: {message}", file=sys.stderr)
    sys.exit(2)


def describe(stream, fast, plain):
    """The lines reporting that one stream differs, or [] when it does not."""
    if fast == plain:
        return []
    if not isinstance(fast, bytes) or not isinstance(plain, bytes):
        return [f"{stream}: fast {fast!r}, plain {plain!r}"]
    at = next((i for i, (x, y) in enumerate(zip(fast, plain)) if x != y), min(len(fast), len(plain)))
    start = max(0, at - 16)
    return [f"{stream} differs at byte {at} (fast {len(fast)} bytes, plain {len(plain)} bytes)",
            f"  fast:  {fast[start:at + 48]!r}", f"  plain: {plain[start:at + 48]!r}"]


def differences(fast, plain):
    lines = describe("exit status", fast.status, plain.status)
    lines += describe("stdout", fast.stdout, plain.stdout)
    lines += describe("stderr", fast.stderr, plain.stderr)
    for path in sorted(set(fast.files) | set(plain.files)):
        lines += describe(f"file {path}", fast.files.get(path, "(missing)"), plain.files.get(path, "(missing)"))
    return lines


def compareall(fast, plain):
    found = {}
    for key in sorted(set(fast) | set(plain)):
        if key not in fast or key not in plain:
            found[key] = [f"ran only on the {'fast' if key in fast else 'plain'} build"]
        else:
            lines = differences(fast[key], plain[key])
            if lines:
                found[key] = lines
    return found


def parserecords(data):
    """The runs sandboxrun printed, {image path: Run}, in the framing its source describes."""
    runs = {}
    at = 0
    while at < len(data):
        end = data.find(b"\n", at)
        header = data[at:end].split() if end >= 0 else []
        if len(header) != 5 or header[0] != b"record" or not all(word.isdigit() for word in header[1:]):
            raise HarnessError(f"malformed record header at byte {at}: {data[at:at + 60]!r}")
        namelength, status, outlength, errlength = map(int, header[1:])
        at = end + 1
        tail = at + namelength + outlength + errlength
        if data[tail:tail + 1] != b"\n":
            raise HarnessError(f"record at byte {at} is cut short or longer than its header says")
        name = data[at:at + namelength].decode("utf-8", "surrogateescape")
        out = data[at + namelength:at + namelength + outlength]
        runs[name] = Run(status, out, data[at + namelength + outlength:tail])
        at = tail + 1
    return runs


def read(path, default=b""):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return default


def snapshot(directory):
    found = {}
    for parent, dirs, files in os.walk(directory):
        for name in dirs:
            found[os.path.relpath(os.path.join(parent, name), directory)] = None
        for name in files:
            path = os.path.join(parent, name)
            found[os.path.relpath(path, directory)] = read(path)
    return found


def assemble(t4asm, directory, source, *flags):
    asm = subprocess.run([t4asm, *flags, source, "-o", "prog.t4b"], cwd=directory, capture_output=True,
                         timeout=SECONDS_PER_RUN)
    if asm.returncode != 0:
        raise HarnessError("t4asm failed:\n" + asm.stderr.decode(errors="replace"))


def programcase(key, source, base, t4asm):
    """An input set up as runprogram.py sets up SOURCE with the expected files at BASE."""
    with tempfile.TemporaryDirectory(prefix="t4plain-asm-") as work:
        assemble(t4asm, work, os.path.abspath(source))
        files = {"prog.t4b": read(os.path.join(work, "prog.t4b"))}
    desc = read(base + ".desc", None)
    if desc is not None:
        files["desc.tndc"] = bytes.fromhex(desc.decode())
    tree = base + ".files" if os.path.isdir(base + ".files") else None
    args = [arg for arg in read(base + ".args").decode().split("\n") if arg]
    return Case(key, files, tree, args, read(base + ".in"))


def docscase(key, example, t4asm):
    """A documented example set up as check_docs.py sets it up: prog.tasm, its image (and map)."""
    debug = "map" in example or "db" in example or b"-g" in example.get("asm", b"").split()
    flags = ["-g"] if debug else []
    with tempfile.TemporaryDirectory(prefix="t4plain-asm-") as work:
        with open(os.path.join(work, "prog.tasm"), "wb") as f:
            f.write(example["tasm"])
        assemble(t4asm, work, "prog.tasm", *flags)
        files = snapshot(work)
    if "desc" in example:
        files["desc.tndc"] = check_docs.hexbytes(example["desc"])
    args = shlex.split(example.get("command", b"").decode())[2:]
    return Case(key, files, None, args, example.get("stdin", b""))


def cases(t4asm):
    found = collections.defaultdict(list)
    programs = os.path.join(ROOT, "tests", "programs")
    sources = sorted(os.path.join(parent, name) for parent, _, names in os.walk(programs)
                     for name in names if name.endswith(".tasm"))
    for source in sources:
        key = "program/" + os.path.relpath(source, programs)[: -len(".tasm")]
        found["program"].append(programcase(key, source, source[: -len(".tasm")], t4asm))
    examples = os.path.join(ROOT, "examples")
    for name in sorted(os.listdir(examples)):
        if name.endswith(".tasm") and not name.startswith("echo_"):  # the pair runs only together
            stem = name[: -len(".tasm")]
            found["example"].append(programcase("example/" + stem, os.path.join(examples, name),
                                                os.path.join(programs, "examples", stem), t4asm))
    docs = os.path.join(ROOT, "docs")
    for document in check_docs.DOCUMENTS:
        for name, example in check_docs.examples(os.path.join(docs, document + ".md")).items():
            if "output" in example:  # the others only show what t4asm says
                found["docs"].append(docscase(f"docs/{document}/{name}", example, t4asm))
    return found


def runcase(case, t4vm):
    with tempfile.TemporaryDirectory(prefix="t4plain-") as scratch:
        if case.tree:
            shutil.copytree(case.tree, scratch, dirs_exist_ok=True)
        for path, data in case.files.items():
            if data is None:
                os.makedirs(os.path.join(scratch, path), exist_ok=True)
            else:
                with open(os.path.join(scratch, path), "wb") as f:
                    f.write(data)
        try:
            run = subprocess.run([t4vm, "prog.t4b", *case.args], cwd=scratch, input=case.stdin,
                                 capture_output=True, timeout=SECONDS_PER_RUN)
        except subprocess.TimeoutExpired:
            raise HarnessError(f"{case.key}: ran longer than {SECONDS_PER_RUN} s on {t4vm}")
        return Run(run.returncode, run.stdout, run.stderr, snapshot(scratch))


def fuzzinputs():
    found = {}
    for kind, folder in (("fuzz corpus", "corpus"), ("fuzz regressions", "regressions")):
        top = os.path.join(ROOT, "fuzz", folder, "machine")
        found[kind] = sorted(os.path.join(parent, name) for parent, _, names in os.walk(top) for name in names)
    return found


def runbatch(sandboxrun, images):
    try:
        run = subprocess.run([sandboxrun, *images], capture_output=True, timeout=SECONDS_PER_BATCH)
    except subprocess.TimeoutExpired:
        raise HarnessError(f"{sandboxrun} ran longer than {SECONDS_PER_BATCH} s")
    if run.returncode != 0:
        raise HarnessError(f"{sandboxrun} ended with status {run.returncode}:\n" + run.stderr.decode(errors="replace"))
    runs = parserecords(run.stdout)
    if sorted(runs) != sorted(images):
        raise HarnessError(f"{sandboxrun} printed records for other inputs than it was given")
    return {os.path.relpath(image, ROOT): run for image, run in runs.items()}


def checkbuild(directory, expected):
    tool = os.path.join(directory, "tests", "plain", "sandboxrun")
    try:
        said = subprocess.run([tool, "--build"], capture_output=True, check=True).stdout.decode().strip()
    except (OSError, subprocess.CalledProcessError) as failure:
        stop(f"cannot ask {tool} which build it is: {failure}")
    if said != expected:
        # Two builds of the same kind would agree on everything and prove nothing.
        stop(f"{directory} is a {said} build, not a {expected} one")
    return tool


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("fast", metavar="FAST_BUILD", help="build directory of the normal machine (build/)")
    parser.add_argument("plain", metavar="PLAIN_BUILD", help="build directory configured with -DT4VM_PLAIN=ON")
    parser.add_argument("-j", "--jobs", type=int, default=2, help="runs at a time (default 2)")
    options = parser.parse_args(argv)
    # Absolute, since every run happens in a scratch directory of its own.
    builds = {"fast": os.path.abspath(options.fast), "plain": os.path.abspath(options.plain)}
    tools = {kind: checkbuild(directory, kind) for kind, directory in builds.items()}

    try:
        bycategory = cases(os.path.join(builds["fast"], "t4asm"))
    except HarnessError as failure:
        stop(failure)
    fuzz = fuzzinputs()
    everything = [case for group in bycategory.values() for case in group]
    runs = {kind: {} for kind in builds}
    errors = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        pending = {}
        images = fuzz["fuzz corpus"] + fuzz["fuzz regressions"]
        shares = max(1, options.jobs)
        for kind in builds:
            # Each build replays the same shares in the same order, in case a run could leave
            # anything behind for the next one in its process.
            for share in range(shares):
                batch = images[share::shares]
                if batch:
                    pending[pool.submit(runbatch, tools[kind], batch)] = kind
        for kind, directory in builds.items():
            t4vm = os.path.join(directory, "t4vm")
            for case in everything:
                pending[pool.submit(lambda case=case, t4vm=t4vm: {case.key: runcase(case, t4vm)})] = kind
        for future in concurrent.futures.as_completed(pending):
            try:
                runs[pending[future]].update(future.result())
            except HarnessError as failure:
                errors.append(str(failure))

    found = compareall(runs["fast"], runs["plain"]) if not errors else {}
    for key, lines in found.items():
        print(f"DIFFERENT {key}", *lines, sep="\n    ")
    counts = {category: len(group) for category, group in bycategory.items()}
    counts.update({category: len(group) for category, group in fuzz.items()})
    print("compared " + ", ".join(f"{count} {category}" for category, count in counts.items()) +
          f" inputs on {options.fast} (fast) and {options.plain} (plain): " +
          (f"{len(found)} differ" if not errors else "not finished"))
    for error in errors:
        print(f"ERROR {error}", file=sys.stderr)
    return 2 if errors else 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
