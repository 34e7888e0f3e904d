"""The facts of a Wine run in the simulator's terms, and how a scenario's
expectations are held against them."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine-scanner"))

import report_facts as facts  # noqa: E402


class LineEnds(unittest.TestCase):
    CASES = [
        (b"0\r\nDevice found!!\r\n\r\n", b"0\nDevice found!!\n\n"),
        (b"Check Device firmware version...", b"Check Device firmware version..."),
        # a lone CR or LF is the program's own byte and stays
        (b"a\rb\nc\r\r\n", b"a\rb\nc\r\n"),
        (b"\xb3]\xb3\xc6\r\n", b"\xb3]\xb3\xc6\n"),
    ]

    def test_only_cr_lf_pairs_fold(self):
        for raw, folded in self.CASES:
            with self.subTest(raw=raw):
                self.assertEqual(facts.fold_line_ends(raw), folded)


class Mutexes(unittest.TestCase):
    CASES = [
        ({}, {"created": [], "owned_at_exit": []}),
        ({"{G}": "unseen", "Global\\S": "unseen"}, {"created": [], "owned_at_exit": []}),
        ({"{G}": "released", "Global\\S": "released"}, {"created": ["Global\\S", "{G}"], "owned_at_exit": []}),
        # the process ended while it still owned the utility mutex
        ({"{G}": "abandoned", "Global\\S": "released"},
         {"created": ["Global\\S", "{G}"], "owned_at_exit": ["{G}"]}),
        ({"Global\\S": "owned"}, {"created": ["Global\\S"], "owned_at_exit": []}),
    ]

    def test_fates_become_created_and_owned(self):
        for fates, expected in self.CASES:
            with self.subTest(fates=fates):
                self.assertEqual(facts.mutex_facts(fates), expected)


class ScannerClock(unittest.TestCase):
    # the record as the scanner received it (already normalised by the
    # updater), when it arrived, the time of the report, the zone
    CASES = [
        ([30, 20, 10, 6, 0, 127, 3, 5, 0], 1000, 33000, "Europe/Berlin", "2027-01-06T10:21:02"),
        ([0, 0, 8, 3, 2, 126, 2, 61, 0], 5000, 5999, "UTC", "2026-03-03T08:00:00"),
        # tm_sec beyond 59 carries, as mktime does
        ([75, 59, 23, 31, 11, 126, 0, 0, 0], 0, 0, "UTC", "2027-01-01T00:00:15"),
    ]

    def test_read_as_local_time_and_advanced(self):
        for record, set_at, now, zone, expected in self.CASES:
            with self.subTest(record=record):
                self.assertEqual(facts.clock_text(record, True, set_at, now, zone), expected)

    def test_no_record_no_time(self):
        self.assertIsNone(facts.clock_text([0] * 9, False, 0, 0, "UTC"))


class Expectations(unittest.TestCase):
    REPORT = {
        "exit_code": 0,
        "service": {"after": {"installed": True, "state": "running", "start_type": "auto"}},
        "mutexes": {"created": [], "owned_at_exit": []},
        "scanner": {"downloads": 1, "download_param": 4101, "image_bytes": 5, "image_sha256": "ab", "clock": "t"},
        "embedded_image": {"bytes": 5, "sha256": "ab"},
    }
    # expectation -> the problems it finds in REPORT
    CASES = [
        ({"exit_code": 0, "scanner": {"downloads": 1}}, []),
        ({"scanner": {"image_sha256": "=embedded_image.sha256", "image_bytes": "=embedded_image.bytes"}}, []),
        ({"scanner": {"image_sha256": "=embedded_image.size"}}, ["scanner.image_sha256"]),
        ({"scanner": {"downloads": 0}}, ["scanner.downloads"]),
        ({"scanner": {"downloads": {"min": 1, "max": 1}}}, []),
        ({"scanner": {"download_param": {"max": 4100}}}, ["scanner.download_param"]),
        # true is not 1
        ({"scanner": {"downloads": True}}, ["scanner.downloads"]),
        ({"service": {"after": {"state": "stopped"}}}, ["service.after.state"]),
        ({"mutexes": {"created": ["{G}"]}}, ["mutexes.created"]),
        ({"service": {"before": {"installed": True}}}, ["service.before"]),
    ]

    def test_each_expected_fact_is_checked(self):
        for expect, where in self.CASES:
            with self.subTest(expect=expect):
                problems = []
                facts.check_facts(expect, self.REPORT, self.REPORT, "", problems)
                self.assertEqual([p.split(":")[0] for p in problems], where)

    def test_what_only_virtual_time_fixes_is_relaxed(self):
        expect = {"exit_code": 0, "ended_by": "return", "virtual_ms": {"min": 33000},
                  "scanner": {"downloads": 1, "clock": "2027-01-06T10:21:03"}}
        relaxed_expect, relaxed = facts.real_time_expectations(expect)
        self.assertEqual(set(relaxed_expect), {"exit_code", "scanner"})
        self.assertEqual(len(relaxed), 3)
        self.assertEqual(expect["scanner"]["clock"], "2027-01-06T10:21:03")  # the scenario's own copy stays
        problems = []
        facts.check_facts(relaxed_expect, self.REPORT, self.REPORT, "", problems)
        self.assertEqual(problems, [])
        no_time = dict(self.REPORT, scanner=dict(self.REPORT["scanner"], clock=None))
        facts.check_facts(relaxed_expect, no_time, no_time, "", problems)
        self.assertEqual([p.split(":")[0] for p in problems], ["scanner.clock"])

    def test_an_exit_code_past_a_byte_is_held_to_its_low_byte(self):
        for code, status, relaxations in ((1618, 82, 1), (40, 40, 0), (0, 0, 0)):
            with self.subTest(code=code):
                relaxed_expect, relaxed = facts.real_time_expectations({"exit_code": code})
                self.assertEqual(relaxed_expect["exit_code"], status)
                self.assertEqual(len(relaxed), relaxations)

    def test_a_clock_expected_absent_stays_exact(self):
        relaxed_expect, relaxed = facts.real_time_expectations({"scanner": {"clock": None}})
        self.assertEqual(relaxed, [])
        problems = []
        facts.check_facts(relaxed_expect, self.REPORT, self.REPORT, "", problems)
        self.assertEqual([p.split(":")[0] for p in problems], ["scanner.clock"])


if __name__ == "__main__":
    unittest.main()
