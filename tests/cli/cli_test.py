#!/usr/bin/env python3
"""The command lines of t4vm, t4asm and t4dis as a user meets them: images that are missing,
unreadable or empty.

Usage: cli_test.py T4VM T4ASM T4DIS
"""
import os
import subprocess
import sys
import tempfile
import unittest

T4VM, T4ASM, T4DIS = sys.argv[1:4] if len(sys.argv) >= 4 else (None, None, None)

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


class Images(InScratch):
    def test_missing_image_is_reported_with_the_empty_dump(self):
        report = b'TARN 4 VM error: Cannot open program image "x.t4b": No such file or directory\n'
        self.assertRun(self.run_in_scratch(T4VM, "x.t4b"), 1, b"", report + EMPTY_DUMP)
        # The report comes before the silent flag is looked at, and two extra arguments change
        # nothing either.
        self.assertRun(self.run_in_scratch(T4VM, "x.t4b", "quiet"), 1, b"", report + EMPTY_DUMP)
        self.assertRun(self.run_in_scratch(T4VM, "x.t4b", "a", "b"), 1, b"", report + EMPTY_DUMP)

    def test_missing_directory_in_the_path_is_named_as_given(self):
        report = b'TARN 4 VM error: Cannot open program image "no/such/dir/p.t4b": No such file or directory\n'
        self.assertRun(self.run_in_scratch(T4VM, "no/such/dir/p.t4b"), 1, b"", report + EMPTY_DUMP)

    def test_directory_as_image_cannot_be_read(self):
        os.mkdir(os.path.join(self.dir, "sub"))
        report = b'TARN 4 VM error: Cannot read program image "sub": Is a directory\n'
        self.assertRun(self.run_in_scratch(T4VM, "sub"), 1, b"", report + EMPTY_DUMP)

    @unittest.skipIf(os.geteuid() == 0, "root reads files whatever their permissions")
    def test_unreadable_image_gives_the_systems_reason(self):
        path = os.path.join(self.dir, "locked.t4b")
        with open(path, "wb") as f:
            f.write(b"\x00")
        os.chmod(path, 0)
        report = b'TARN 4 VM error: Cannot open program image "locked.t4b": Permission denied\n'
        self.assertRun(self.run_in_scratch(T4VM, "locked.t4b"), 1, b"", report + EMPTY_DUMP)

    def test_empty_image_is_an_empty_program(self):
        open(os.path.join(self.dir, "empty.t4b"), "wb").close()
        self.assertRun(self.run_in_scratch(T4VM, "empty.t4b"), 0, END, b"")
        self.assertRun(self.run_in_scratch(T4VM, "empty.t4b", "quiet"), 0, b"", b"")

    def test_argument_count_is_checked_before_the_image(self):
        report = b"TARN 4 VM error: Too many or not enough arguments.\n" + EMPTY_DUMP
        self.assertRun(self.run_in_scratch(T4VM, "x.t4b", "1", "2", "3"), 1, b"", report)
        self.assertRun(self.run_in_scratch(T4VM), 1, b"", report)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
