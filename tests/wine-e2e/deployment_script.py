#!/usr/bin/env python3
"""The real fwupdate.exe under Wine as a deployment script runs it.

  deployment_script.py updated|busy|no_scanner --exe fwupdate.exe
                       --driver fwusim.sys --helper fwusimctl.exe --workdir DIR

`wine cmd /c deploy.cmd fwupdate.exe` in the world of scenarios/default.json,
scan_app_busy.json or not_found.json: the script runs `fwupdate.exe /s`
and branches on %ERRORLEVEL%. Inside Windows the whole code is seen (1618,
which Linux sees only as its low byte, 82); the script must say what it
decided and exit with its own code. With WINEDEBUG=+eventlog, Wine's
ReportEventW writes the entry's id, level and strings to standard error
(it keeps nothing): the run's one entry must be there, as the simulator's
tests expect it.
Exit status 0 passed, 1 failed.
"""
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "wine-scanner"))

import scenario_plan  # noqa: E402
import wine_harness  # noqa: E402

SCENARIOS = os.path.join(HERE, "..", "..", "scenarios")
SCRIPT = os.path.join(HERE, "deploy.cmd")
RUN_LIMIT_S = 300
# Each case: its world, what the script must say and exit with, and the
# entry: message id, level (Wine's ReportEventW type argument) and strings.
SCANNER = r"\\.\usbscan0"
CASES = {
    "updated": ("default.json", "deploy: updated", 0, 0x400003E8, 0x0004, ["0", "unattended", SCANNER, "0"]),
    "busy": ("scan_app_busy.json", "deploy: retry later", 2, 0x800003E9, 0x0002, ["1618", "unattended", SCANNER, "0"]),
    "no_scanner": ("not_found.json", "deploy: failed with 40", 1, 0x800003EA, 0x0002, ["40", "unattended", "none", "0"]),
}
# Wine 8: "fixme:advapi:ReportEventW (handle,type,category,id,...)" and then
# each string on the eventlog channel (trace, warn or err by the type).
REPORT_CALL = re.compile(rb"ReportEventW \([0-9A-Fa-f]+,0x([0-9a-f]{4}),0x[0-9a-f]{4},0x([0-9a-f]{8}),")
REPORT_STRING = re.compile(rb":eventlog:ReportEventW L\"(.*)\"")


def wine_text(escaped):
    """A string as Wine's debug output prints it, back to its characters."""
    return escaped.decode("latin-1").replace("\\\\", "\\")


def check_entry(stderr, case, problems):
    _, _, _, message_id, level, strings = CASES[case]
    calls = REPORT_CALL.findall(stderr)
    if not calls:
        problems.append("no ReportEventW call on Wine's debug channels")
        return
    if len(calls) != 1:
        problems.append("%d ReportEventW calls, one expected" % len(calls))
    kind, number = int(calls[0][0], 16), int(calls[0][1], 16)
    if (number, kind) != (message_id, level):
        problems.append("entry 0x%08x of type %d, expected 0x%08x of type %d" % (number, kind, message_id, level))
    logged = [wine_text(s) for s in REPORT_STRING.findall(stderr)]
    if logged[:4] != strings or len(logged) != 5 or not re.fullmatch("[0-9a-f]{64}", logged[4]):
        problems.append("the entry's strings were %r, expected %r and the image's SHA-256" % (logged, strings))


def play(session, args, problems):
    scenario, said, code, _, _, _ = CASES[args.case]
    with open(os.path.join(SCENARIOS, scenario), encoding="utf-8") as f:
        plan = scenario_plan.make_plan(scenario_plan.load_scenario(f.read()))
    session.env.update(plan["environment"])
    wine_harness.set_up(session, plan, args.driver, session.workdir)
    wine_harness.set_up_service(session, args.helper, plan["service"])
    held = []
    for name in plan["held_mutexes"]:
        held += ["--hold", name]
    others = session.start_background(args.helper, "others", *held)
    try:
        if others.stdout.readline().strip() != b"ready":
            raise RuntimeError("the helper could not take the held mutexes")
        session.env["WINEDEBUG"] = "+eventlog"
        run = session.wine("cmd", "/c", wine_harness.windows_path(SCRIPT), wine_harness.windows_path(args.exe),
                           check=False, timeout=RUN_LIMIT_S)
    finally:
        session.env["WINEDEBUG"] = "-all"
        others.kill()
    output = run.stdout.replace(b"\r\n", b"\n").decode("latin-1")
    decisions = [line for line in output.splitlines() if line.startswith("deploy: ")]
    print(f"{args.case}: the script said {decisions} and exited {run.returncode}")
    if decisions != [said]:
        problems.append("the script said %r, expected %r; its output:\n%s" % (decisions, said, output))
    if run.returncode != code:
        problems.append("the script exited %d, expected %d" % (run.returncode, code))
    check_entry(run.stderr, args.case, problems)


def main(argv):
    parser = wine_harness.case_arguments(CASES)
    args = parser.parse_args(argv)
    args.exe = os.path.abspath(args.exe)
    session = wine_harness.fresh_session(os.path.abspath(args.workdir))
    problems = []
    started = time.monotonic()
    try:
        play(session, args, problems)
    except (RuntimeError, wine_harness.subprocess.TimeoutExpired, ValueError, OSError) as error:
        problems.append("the Wine run broke down: %s" % error)
    finally:
        session.server("-k")
    if problems:
        print("\n".join(session.log))
    for problem in problems:
        print(f"{args.case}: {problem}")
    print(f"{args.case}: {'FAILED' if problems else 'passed'} in {time.monotonic() - started:.1f} s")
    if not problems:
        wine_harness.shutil.rmtree(session.prefix, ignore_errors=True)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
