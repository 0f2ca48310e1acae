#!/usr/bin/env python3
"""Tests of the comparison of the normal and the plain build (compare.py): that it reports runs
that differ, and only those, and that it reads sandboxrun's records the way sandboxrun writes them.

Usage: compare_test.py SANDBOXRUN T4ASM BUILD   (BUILD: "fast" or "plain", what SANDBOXRUN is)
"""
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare  # noqa: E402

SANDBOXRUN, T4ASM, BUILD = sys.argv[1:4] if len(sys.argv) >= 4 else (None, None, None)

Run = compare.Run


class Differences(unittest.TestCase):
    base = Run(0, b"hello\n<TARN 4> Program finished.\n", b"", {"prog.t4b": b"\x01\x02", "out": None})

    def test_each_differing_stream_is_reported_where_it_differs(self):
        self.assertEqual(compare.differences(self.base, Run(*self.base)), [])
        lines = compare.differences(self.base, self.base._replace(stdout=b"hellO\n<TARN 4> Program finished.\n"))
        self.assertEqual(lines, ["stdout differs at byte 4 (fast 33 bytes, plain 33 bytes)",
                                 "  fast:  b'hello\\n<TARN 4> Program finished.\\n'",
                                 "  plain: b'hellO\\n<TARN 4> Program finished.\\n'"])
        files = self.base.files
        for change, first in [
                ({"stderr": b"TARN 4 VM error"}, "stderr differs at byte 0 (fast 0 bytes, plain 15 bytes)"),
                ({"stdout": self.base.stdout[:-1]}, "stdout differs at byte 32 (fast 33 bytes, plain 32 bytes)"),
                ({"status": 1}, "exit status: fast 0, plain 1"),
                ({"files": {**files, "prog.t4b": b"\x01\x03"}}, "file prog.t4b differs at byte 1 (fast 2 bytes, plain 2 bytes)"),
                ({"files": {**files, "new.txt": b""}}, "file new.txt: fast '(missing)', plain b''"),
                ({"files": {**files, "out": b""}}, "file out: fast None, plain b''")]:
            with self.subTest(change=change):
                self.assertEqual(compare.differences(self.base, self.base._replace(**change))[0], first)

    def test_only_the_differing_inputs_are_reported_and_a_missing_one_is(self):
        fast = {"same": self.base, "differs": self.base, "fastonly": self.base}
        plain = {"same": self.base, "differs": self.base._replace(status=1), "plainonly": self.base}
        self.assertEqual(compare.compareall(fast, plain), {"differs": ["exit status: fast 0, plain 1"],
                                                           "fastonly": ["ran only on the fast build"],
                                                           "plainonly": ["ran only on the plain build"]})


def record(name, status, out, err):
    return b"record %d %d %d %d\n" % (len(name), status, len(out), len(err)) + name + out + err + b"\n"


class Records(unittest.TestCase):
    def test_payloads_that_look_like_framing_are_read_by_their_lengths(self):
        tricky = b"x\nrecord 1 0 0 0\ny\n"
        data = record(b"a/b", 1, tricky, b"") + record(b"c", 0, b"", tricky)
        self.assertEqual(compare.parserecords(data), {"a/b": Run(1, tricky, b""), "c": Run(0, b"", tricky)})
        self.assertEqual(compare.parserecords(b""), {})

    def test_a_record_cut_short_or_longer_than_its_header_says_is_refused(self):
        whole = record(b"a", 0, b"out", b"err")
        for cut in (whole[:-1], whole[:-4], whole[:5], whole + b"junk", b"record 1 0 2 0\nabcd\n"):
            with self.assertRaises(compare.HarnessError, msg=repr(cut)):
                compare.parserecords(cut)


@unittest.skipIf(SANDBOXRUN is None, "needs the sandboxrun and t4asm of a build")
class SandboxRun(unittest.TestCase):
    """sandboxrun of this build, run on small images, read back by compare.parserecords."""

    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="t4plain-test-")
        self.addCleanup(scratch.cleanup)
        self.dir = scratch.name

    def image(self, name, tasm):
        source = os.path.join(self.dir, name + ".tasm")
        with open(source, "w") as f:
            f.write(tasm)
        path = os.path.join(self.dir, name + ".t4b")
        subprocess.run([T4ASM, source, "-o", path], check=True)
        return path

    def records(self, *images):
        run = subprocess.run([SANDBOXRUN, *images], capture_output=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stderr)
        return compare.parserecords(run.stdout)

    def test_it_says_which_build_it_is(self):
        said = subprocess.run([SANDBOXRUN, "--build"], capture_output=True, check=True).stdout
        self.assertEqual(said, BUILD.encode() + b"\n")

    def test_each_image_gets_a_record_of_its_run(self):
        empty = os.path.join(self.dir, "empty.t4b")
        open(empty, "wb").close()
        printing = self.image("printing", 'pushconst "one\\nrecord 1 0 0 0\\n"\nenterattr stdout\n'
                                          "loadattr write\ncall 1\nleave\n")
        looping = self.image("looping", "pushconst 1\nwhileblock {\n    pushconst 1\n}\n")
        runs = self.records(empty, printing, looping)
        self.assertEqual(sorted(runs), sorted([empty, printing, looping]))
        self.assertEqual(runs[empty], Run(0, b"\n<TARN 4> Program finished.\n", b""))
        self.assertEqual(runs[printing], Run(0, b"one\nrecord 1 0 0 0\n\n<TARN 4> Program finished.\n", b""))
        # The harness's instruction budget ends the endless loop with a report.
        self.assertEqual(runs[looping].status, 1)
        self.assertTrue(runs[looping].stderr.startswith(b"TARN 4 VM error"), runs[looping].stderr)

    def test_each_image_starts_in_an_empty_scratch_directory(self):
        # Otherwise a run could see what the one before it left, and the two builds' records
        # would depend on the order of the inputs.
        making = self.image("making", 'enterattr filesystem\npushconst "left"\nloadattr createdir\ncall 1\nleave\n')
        looking = self.image("looking", 'enterattr filesystem\npushconst "left"\nloadattr isdir\ncall 1\nleave\n'
                                        "pushconst [stack]\nenterattr stdout\nloadattr write\ncall 1\nleave\n")
        runs = self.records(looking, making, looking)  # the record kept is the later run's
        self.assertEqual(runs[making], Run(0, b"\n<TARN 4> Program finished.\n", b""))
        self.assertEqual(runs[looking].stdout, b"[0]\n<TARN 4> Program finished.\n")

    def test_an_unreadable_image_stops_it(self):
        run = subprocess.run([SANDBOXRUN, os.path.join(self.dir, "missing.t4b")], capture_output=True)
        self.assertEqual(run.returncode, 2)
        self.assertIn(b"cannot read", run.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
