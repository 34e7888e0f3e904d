#!/usr/bin/env python3
"""Runs fwupdate-sim once and checks what it did.

  run_scenario.py scenario SIM SCENARIO.json EXPECTED.out [-- SIM ARGS...]
      Runs SIM --scenario SCENARIO.json --report R [SIM ARGS]; standard output
      must equal EXPECTED.out byte for byte, and the report must hold every
      fact under the scenario's "expect" key.
  run_scenario.py plain SIM EXPECTED.out [-- SIM ARGS...]
      Runs SIM with SIM ARGS; standard output must equal EXPECTED.out.
  run_scenario.py refuse SIM FRAGMENT [-- SIM ARGS...]
      SIM must exit with status 2, print nothing on standard output, and say
      FRAGMENT on standard error.

Expected facts are a subset of the report: objects list only the keys that
matter; arrays and plain values must be equal; {"min": a, "max": b} bounds a
number; text "=a.b" stands for the report's own value at a.b (for instance
"=embedded_image.sha256": the scanner holds exactly the embedded image).
"""
import difflib
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from scenario_facts import check_facts, strip_comments  # noqa: E402

RUN_TIMEOUT_S = 300


def show_bytes(data):
    # The console may hold code page 950 bytes; latin-1 shows every byte.
    return [repr(line) for line in data.decode("latin-1").splitlines(keepends=True)]


def compare_console(actual, expected_file):
    with open(expected_file, "rb") as f:
        expected = f.read()
    if actual == expected:
        return True
    print(f"standard output differs from {expected_file}:")
    for line in difflib.unified_diff(show_bytes(expected), show_bytes(actual), "expected", "actual", lineterm=""):
        print(line)
    return False


def run(sim, args):
    return subprocess.run([sim] + args, capture_output=True, timeout=RUN_TIMEOUT_S, stdin=subprocess.DEVNULL)


def split_extra(argv):
    if "--" in argv:
        at = argv.index("--")
        return argv[:at], argv[at + 1:]
    return argv, []


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    mode = argv[0]
    fixed, extra = split_extra(argv[1:])

    if mode == "refuse" and len(fixed) == 2:
        sim, fragment = fixed
        result = run(sim, extra)
        stderr = result.stderr.decode("utf-8", "replace")
        ok = True
        if result.returncode != 2:
            print(f"exit status {result.returncode}, expected 2")
            ok = False
        if result.stdout:
            print(f"standard output should be empty, holds {result.stdout!r}")
            ok = False
        if fragment not in stderr:
            print(f"standard error does not say {fragment!r}")
            ok = False
        print(f"standard error: {stderr.strip()}")
        return 0 if ok else 1

    if mode == "plain" and len(fixed) == 2:
        sim, expected_out = fixed
        result = run(sim, extra)
        ok = compare_console(result.stdout, expected_out)
        if result.returncode != 0:
            print(f"exit status {result.returncode}, expected 0")
            ok = False
        if result.stderr:
            print(result.stderr.decode("utf-8", "replace"))
        return 0 if ok else 1

    if mode == "scenario" and len(fixed) == 3:
        sim, scenario, expected_out = fixed
        with open(scenario, encoding="utf-8") as f:
            expect = json.loads(strip_comments(f.read())).get("expect", {})
        with tempfile.TemporaryDirectory() as folder:
            report_file = os.path.join(folder, "report.json")
            result = run(sim, ["--scenario", scenario, "--report", report_file] + extra)
            ok = compare_console(result.stdout, expected_out)
            if result.stderr:
                print(result.stderr.decode("utf-8", "replace"))
            # A POSIX process status keeps the exit code's low byte alone
            # (1618 shows as 82); the report's exit_code holds it whole.
            status = expect.get("exit_code", 0) & 0xFF
            if result.returncode != status:
                print(f"exit status {result.returncode}, expected {status} (exit code {expect.get('exit_code', 0)})")
                ok = False
            try:
                with open(report_file, encoding="utf-8") as f:
                    report = json.load(f)
            except (OSError, ValueError) as error:
                print(f"no readable report: {error}")
                return 1
        problems = []
        check_facts(expect, report, report, "", problems)
        for problem in problems:
            print(problem)
        if problems:
            print("report: " + json.dumps(report, indent=2))
        return 0 if ok and not problems else 1

    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
