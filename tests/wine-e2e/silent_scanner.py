#!/usr/bin/env python3
"""The real fwupdate.exe under Wine against a scanner that stops answering.

  silent_scanner.py clock_readback|burn --exe fwupdate.exe --driver fwusim.sys
                    --helper fwusimctl.exe --workdir DIR [--simulator fwupdate-sim]

The scanner stays on the bus but leaves every request from a given one on
unanswered; the driver holds each for the time-out the updater set on its
handle, as usbscan does. Each case must end within its bound of wall time
(from the updater's start to its exit, the 20-second closing pause
included), print its console text, leave the imaging service running and
automatic, and leave no record under HKLM\\SOFTWARE\\fwupdate. With
--simulator, the driver's wire trace must carry the requests of the
simulator's run of the same world, the ones never answered among them, and
the scanner must have met as many unanswered requests and pipe resets.

clock_readback: silent after 9 answered requests (probe, readiness, clock
                set and its record, the read-back command): the clock
                record is never read.
burn:           silent after 15 (then the download's readiness poll, the
                announcement and the image): no burn poll is answered.
Exit status 0 passed, 1 failed.
"""
import io
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "wine-scanner"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "trace"))

import report_facts  # noqa: E402
import scenario_plan  # noqa: E402
import wine_harness  # noqa: E402
import wire_trace  # noqa: E402

RECORD_KEY = "HKLM\\SOFTWARE\\fwupdate"
RUN_START = "0\nDevice found!!\n\nClose WIA service...\n\n"
UNTIL_BURN = ("Loading firmware...\n\nChecking firmware...\n\nSending firmware...\n\n"
              "FW Upgrade! Please wait...\nDuring firmware update, please make sure device power is stable.\n\n")
FAILED_RUN_END = "Start WIA service...\n\nUpdate Failed: After 20 second will close windows\n\n"

# world, console text, bound in seconds of wall time
CASES = {
    "clock_readback": ({"scanner": {"silent": {"after_transfers": 9}}},
                       RUN_START + "USB timeout error!!\n\n" + FAILED_RUN_END, 90),
    "burn": ({"scanner": {"silent": {"after_transfers": 15}}},
             RUN_START + UNTIL_BURN + "Write to USB error!!\n\nBurning firmware error!!\n\n" + FAILED_RUN_END, 150),
}
# The harness's limit on the updater's run: past it the run is a failure
# whatever the bound.
RUN_LIMIT_S = 400


def check_given_back(session, args, problems):
    """The PC and the driver after the run; returns the helper's report."""
    report = json.loads(session.wine(args.helper, "report").stdout.decode())
    service = report["service"]
    if service.get("state") != "running" or service.get("start_type") != "auto":
        problems.append("the imaging service ends %s" % json.dumps(service))
    if session.wine("reg", "query", RECORD_KEY, check=False).returncode == 0:
        problems.append("the registry record %s is still there" % RECORD_KEY)
    if report["scanner"]["unanswered"] == 0:
        problems.append("the scanner never fell silent: %s" % json.dumps(report["scanner"]))
    if report["driver"]["held_requests"] != 0:
        problems.append("the driver still holds %d requests" % report["driver"]["held_requests"])
    return report


def compare_with_simulator(args, world, workdir, wine_trace, report, problems):
    """The simulator's run of the same world: its requests one by one, and
    as many left unanswered and pipes reset (which no trace records)."""
    scenario = os.path.join(workdir, "world.json")
    with open(scenario, "w", encoding="utf-8") as f:
        json.dump(world, f)
    sim_trace, _ = wine_harness.simulate(args.simulator, scenario, workdir)
    said = io.StringIO()
    if not wire_trace.compare(sim_trace, wine_trace, out=said):
        problems.append("the wire trace differs from the simulator's (%s, %s):\n%s"
                        % (sim_trace, wine_trace, said.getvalue().rstrip()))
    else:
        print(f"{args.case}: wire trace: {said.getvalue().strip()}")
    with open(os.path.join(workdir, "sim-report.json"), encoding="utf-8") as f:
        simulated = json.load(f)["scanner"]
    for key in ("unanswered", "pipe_resets"):
        if report["scanner"][key] != simulated[key]:
            problems.append("scanner.%s: %d under Wine, %d in the simulator" % (key, report["scanner"][key],
                                                                              simulated[key]))


def play(session, args, problems):
    world, expected, bound_s = CASES[args.case]
    plan = scenario_plan.make_plan(world)
    session.env.update(plan["environment"])
    wine_harness.set_up(session, plan, args.driver, session.workdir)
    wine_harness.set_up_service(session, args.helper, plan["service"])
    # Session.wine times the run with the monotonic clock.
    updater = session.wine(args.exe, check=False, timeout=RUN_LIMIT_S)
    print(f"{args.case}: the updater ran {updater.seconds:.1f} s of wall time (bound {bound_s} s)")
    if updater.seconds > bound_s:
        problems.append("the updater ran %.1f s, more than its bound of %d s" % (updater.seconds, bound_s))
    if updater.returncode != 0:
        problems.append("the updater's exit code was %d" % updater.returncode)
    console = report_facts.fold_line_ends(updater.stdout).decode("latin-1")
    if console != expected:
        problems.append("the console printed:\n%s\ninstead of:\n%s" % (console, expected))
    wine_trace = os.path.join(session.workdir, "wire.pcap")
    session.wine(args.helper, "trace", wine_harness.windows_path(wine_trace))
    report = check_given_back(session, args, problems)
    if args.simulator:
        compare_with_simulator(args, world, session.workdir, wine_trace, report, problems)


def main(argv):
    parser = wine_harness.case_arguments(CASES)
    parser.add_argument("--simulator", help="fwupdate-sim: compare the wire trace with its run of the same world")
    args = parser.parse_args(argv)
    args.exe = os.path.abspath(args.exe)
    session = wine_harness.fresh_session(os.path.abspath(args.workdir))
    problems = []
    started = time.monotonic()
    try:
        play(session, args, problems)
    except (RuntimeError, wine_harness.subprocess.TimeoutExpired, ValueError, OSError,
            wire_trace.TraceError) as error:
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
