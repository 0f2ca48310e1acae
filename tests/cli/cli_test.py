#!/usr/bin/env python3
"""The command lines of t4vm, t4asm, t4dis and t4db as a user meets them: images that are missing,
unreadable or empty; help and versions, and the argument lists that only look like them.

Usage: cli_test.py T4VM T4ASM T4DIS T4DB
"""
import os
import subprocess
import sys
import tempfile
import unittest

# Absolute: every run happens in a scratch directory.
T4VM, T4ASM, T4DIS, T4DB = map(os.path.abspath, sys.argv[1:5]) if len(sys.argv) >= 5 else (None,) * 4

END = b"\n<TARN 4> Program finished.\n"
EMPTY_DUMP = b"Codestack: \n\n"


class InScratch(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory(prefix="t4cli-")
        self.dir = self.scratch.name

    def tearDown(self):
        self.scratch.cleanup()

    def run_in_scratch(self, *command, stdin=b""):
        return subprocess.run(command, cwd=self.dir, input=stdin, capture_output=True, timeout=60)

    def image(self, name, source):
        with open(os.path.join(self.dir, name + ".tasm"), "w") as f:
            f.write(source)
        subprocess.run([T4ASM, name + ".tasm", "-o", name + ".t4b"], cwd=self.dir, check=True, timeout=60)
        return name + ".t4b"

    def assertRun(self, run, status, stdout, stderr):
        self.assertEqual((run.returncode, run.stdout, run.stderr), (status, stdout, stderr))


def cannot(verb, path, reason):
    return f'TARN 4 VM error: Cannot {verb} program image "{path}": {reason}\n'.encode() + EMPTY_DUMP


class Images(InScratch):
    def test_images_that_cannot_be_read_and_argument_counts(self):
        os.mkdir(os.path.join(self.dir, "sub"))
        open(os.path.join(self.dir, "empty.t4b"), "wb").close()
        missing = cannot("open", "x.t4b", "No such file or directory")
        counts = b"TARN 4 VM error: Too many or not enough arguments.\n" + EMPTY_DUMP
        # The image is reported before the silent flag is looked at; the argument count before the image.
        for args, status, stdout, stderr in [
                (["x.t4b"], 1, b"", missing), (["x.t4b", "quiet"], 1, b"", missing),
                (["x.t4b", "a", "b"], 1, b"", missing),
                (["sub"], 1, b"", cannot("read", "sub", "Is a directory")),
                (["empty.t4b"], 0, END, b""), (["empty.t4b", "quiet"], 0, b"", b""),
                (["x.t4b", "1", "2", "3"], 1, b"", counts), ([], 1, b"", counts)]:
            with self.subTest(args=args):
                self.assertRun(self.run_in_scratch(T4VM, *args), status, stdout, stderr)

    @unittest.skipIf(os.geteuid() == 0, "root reads files whatever their permissions")
    def test_unreadable_image_gives_the_systems_reason(self):
        path = os.path.join(self.dir, "locked.t4b")
        with open(path, "wb") as f:
            f.write(b"\x00")
        os.chmod(path, 0)
        self.assertRun(self.run_in_scratch(T4VM, "locked.t4b"), 1, b"", cannot("open", "locked.t4b", "Permission denied"))


PRINTS = 'pushconst "printed\\n"\nenterattr stdout\nloadattr write\ncall 1\nleave\npushconst 7\n'


class HelpAndVersions(InScratch):
    def test_every_tool_prints_one_version_line(self):
        lines = {}
        for name, tool in (("t4vm", T4VM), ("t4asm", T4ASM), ("t4dis", T4DIS), ("t4db", T4DB)):
            run = self.run_in_scratch(tool, "--version")
            self.assertEqual((run.returncode, run.stderr), (0, b""), name)
            self.assertRegex(run.stdout, rb"^" + name.encode() + rb" \d+\.\d+\.\d+\n$")
            lines[name] = run.stdout.split()[1]
        self.assertEqual(len(set(lines.values())), 1, f"one version for all the tools: {lines}")

    def test_t4vm_help_names_the_arguments_files_and_statuses(self):
        for option in ("--help", "-h"):
            run = self.run_in_scratch(T4VM, option)
            self.assertEqual((run.returncode, run.stderr), (0, b""), option)
            text = run.stdout.decode()
            self.assertTrue(text.startswith("usage: t4vm IMAGE [EXTRA [EXTRA]]\n"), text)
            for part in ("silent", "two extra arguments are\n              ignored", "desc.tndc",
                         "IMAGE.map   source positions in reports when IMAGE.map lies beside it",
                         "Exit status: 0 when the program ends, 1 after an error report", "--version"):
                self.assertIn(part, text, option)

    def test_tool_help_mentions_version(self):
        for tool in (T4ASM, T4DIS, T4DB):
            for option in ("--help", "-h"):
                run = self.run_in_scratch(tool, option)
                self.assertEqual(run.returncode, 0)
                self.assertIn(b"--help | -h | --version\n", run.stdout)

    def test_help_after_the_image_is_still_a_silent_run(self):
        image = self.image("prog", PRINTS)
        self.assertRun(self.run_in_scratch(T4VM, image, "--help"), 0, b"printed\n", b"")
        self.assertRun(self.run_in_scratch(T4VM, image, "--version"), 0, b"printed\n", b"")
        self.assertRun(self.run_in_scratch(T4VM, image, "-h", "--version"), 0,
                       b"printed\n\n<TARN 4> Program finished with code 7\n", b"")

    def test_help_with_more_arguments_is_an_image_path(self):
        for args in (["--help", "x"], ["--Version"]):
            self.assertRun(self.run_in_scratch(T4VM, *args), 1, b"", cannot("open", args[0], "No such file or directory"))

if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
