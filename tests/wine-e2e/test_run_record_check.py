"""The harness's look at the run record a Wine run left: one whole line whose
exit code is the process's (of which Linux sees the low byte), none for the
help."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine-scanner"))

import wine_harness  # noqa: E402


def prefix_with(content, under):
    prefix = tempfile.mkdtemp(dir=under)
    if content is not None:
        folder = os.path.join(prefix, "drive_c", "ProgramData", "fwupdate")
        os.makedirs(folder)
        with open(os.path.join(folder, "runs.jsonl"), "wb") as f:
            f.write(content)
    return prefix


class RunRecordCheckTest(unittest.TestCase):
    def test_each_run_leaves_one_line_with_its_code(self):
        cases = [
            ("one line, busy seen as 82", b'{"outcome":"Busy","exit_code":1618}\n', [], 82, True),
            ("one line, updated", b'{"outcome":"Updated","exit_code":0}\n', ["/s"], 0, True),
            ("no record", None, ["/s"], 0, False),
            ("two lines", b'{"exit_code":0}\n{"exit_code":0}\n', [], 0, False),
            ("another code", b'{"exit_code":40}\n', ["/s"], 0, False),
            ("a cut line", b'{"exit_code":4', ["/s"], 0, False),
            ("the help leaves none", None, ["/?"], 0, True),
            ("the help left one", b'{"exit_code":0}\n', ["--help"], 0, False),
        ]
        under = tempfile.TemporaryDirectory()
        self.addCleanup(under.cleanup)
        for name, content, arguments, returncode, ok in cases:
            with self.subTest(name):
                problems = []
                record = wine_harness.run_record_facts(prefix_with(content, under.name))
                wine_harness.check_run_record(record, arguments, returncode, problems)
                self.assertEqual(problems == [], ok, problems)


if __name__ == "__main__":
    unittest.main()
