#!/usr/bin/env python3
"""The simulated scanner driver under Wine, call by call.

  driver_check.py calls|timing HELPER DRIVER WORKDIR

Starts the driver in a fresh prefix with a world of its own, makes the
updater's own device calls through the helper and compares every reported
call with the lines written below.

calls:  other makers' devices and a scanner that runs its recovery loader,
        has fault rules and power-cycles to another number: what a program
        sees of the published paths, the descriptors, the transfer faults
        as the platform reports them, a handle killed by the power cycle,
        and the scanner back under its new number.
timing: a scanner that stalls one write and then falls silent: the halted
        pipe across handles until it is reset, the time-outs each handle
        sets, requests held for the default time-out and for ever that end
        at once when their process is killed, and the wire trace of
        requests never answered.
"""
import json
import os
import shutil
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "wine-scanner"))

import scenario_plan  # noqa: E402
import wine_harness  # noqa: E402

sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "trace"))
import wire_trace  # noqa: E402

WORLD = {
    "foreign_devices": [
        {"path": 0, "vendor_id": "0x04a9", "product_id": "0x1234"},
        {"path": 1, "descriptor_fails": True},
    ],
    "scanner": {
        "path": 3,
        "recovery": True,
        # The download below ends at about 0 s of this timeline: the loader
        # leaves 600 ms later and is back 1800 ms after that, under 5.
        "power_cycle": {"leave_after_ms": 600, "absent_ms": 1800, "return_path": 5, "return_in_recovery": False},
        "faults": [
            {"direction": "write", "kind": "short", "first": 2, "amount": 4},
            {"direction": "read", "kind": "short", "first": 3, "amount": 2},
            {"direction": "write", "kind": "call_fails", "first": 4},
            {"direction": "read", "kind": "partial", "first": 5, "amount": 20},
            {"direction": "read", "kind": "empty", "first": 6},
        ],
    },
}

# (helper steps, the lines the helper must print for them)
CASES = [
    ("other maker's device answers with its own ids, and knows no time-out or pipe reset",
     ["open", "0", "descriptor", "timeouts", "5", "5", "5", "reset", "1", "close"],
     ["open \\\\.\\usbscan0 ok", "descriptor vendor=04a9 product=1234 returned=8", "timeouts failed error=1",
      "reset failed error=1", "closed"]),
    ("a device whose descriptor request fails",
     ["open", "1", "descriptor", "close"],
     ["open \\\\.\\usbscan1 ok", "descriptor failed error=31", "closed"]),
    ("nothing is published at 2",
     ["open", "2"],
     ["open \\\\.\\usbscan2 failed error=2"]),
    ("the scanner at 3: descriptor, then the status of its recovery loader",
     ["open", "3", "descriptor", "command", "0x12", "2", "0", "0"],
     ["open \\\\.\\usbscan3 ok", "descriptor vendor=7a3c product=41b2 returned=8",
      "write call=1 moved=16 wait=signalled result=1 count=16",
      "read call=1 moved=32 wait=signalled result=1 count=32", "state=6"]),
    ("write 2: the block arrives 4 bytes short and is dropped, so no reply waits for read 2",
     ["command", "0x12", "2", "0", "0"],
     ["write call=1 moved=12 wait=signalled result=1 count=12", "read call=0 error=31", "state=0"]),
    ("read 3: two bytes short",
     ["command", "0x12", "2", "0", "0"],
     ["write call=1 moved=16 wait=signalled result=1 count=16",
      "read call=1 moved=30 wait=signalled result=1 count=30", "state=6"]),
    ("write 4: the call fails, so no reply waits for read 4",
     ["command", "0x12", "2", "0", "0"],
     ["write call=0 error=31", "read call=0 error=31", "state=0"]),
    ("read 5 delivers 20 bytes of the reply, read 6 none, read 7 the rest",
     ["command", "0x12", "2", "0", "0", "read", "32", "read", "32"],
     ["write call=1 moved=16 wait=signalled result=1 count=16",
      "read call=1 moved=20 wait=signalled result=1 count=20", "state=6",
      "read call=1 moved=0 wait=signalled result=1 count=0",
      "read call=1 moved=12 wait=signalled result=1 count=12"]),
    ("the download in recovery mode: announcement and a 1000-byte image",
     ["command", "0x2A", "8", "4", "1000", "write", "1000"],
     ["write call=1 moved=16 wait=signalled result=1 count=16",
      "read call=1 moved=32 wait=signalled result=1 count=32", "state=6",
      "write call=1 moved=1000 wait=signalled result=1 count=1000"]),
    ("1.2 s later the loader is off the bus: the old handle is dead, 3 is gone",
     ["sleep", "1200", "descriptor", "write", "16", "close", "open", "3"],
     ["slept", "descriptor failed error=1167", "write call=0 error=1167", "closed",
      "open \\\\.\\usbscan3 failed error=2"]),
    ("2 s after that it is back as 5, running its firmware",
     ["sleep", "2000", "open", "3", "open", "5", "descriptor", "command", "0x12", "2", "0", "0"],
     ["slept", "open \\\\.\\usbscan3 failed error=2", "open \\\\.\\usbscan5 ok",
      "descriptor vendor=7a3c product=41b2 returned=8",
      "write call=1 moved=16 wait=signalled result=1 count=16",
      "read call=1 moved=32 wait=signalled result=1 count=32", "state=0"]),
]


# A scanner that stalls its second write and falls silent once it has
# answered five requests (the stalled one counts; those the halted pipe
# turns away do not).
TIMING_WORLD = {
    "scanner": {
        "faults": [{"direction": "write", "kind": "stall", "first": 2}],
        "silent": {"after_transfers": 5},
    },
}
HELD = "elapsed"  # a line "elapsed N ms" with N in [low, high)
# USBD statuses as the trace records them
STATUS_FAILED = 0xC0000004
STATUS_NEVER_ANSWERED = 0xC0010000

TIMING_CASES = [
    ("a status exchange: the scanner answers",
     ["open", "0", "command", "0x12", "2", "0", "0"],
     ["open \\\\.\\usbscan0 ok", "write call=1 moved=16 wait=signalled result=1 count=16",
      "read call=1 moved=32 wait=signalled result=1 count=32", "state=0"]),
    ("write 2 stalls: it fails, and so does the next write on the halted pipe",
     ["write", "16", "write", "16"],
     ["write call=0 error=31", "write call=0 error=31"]),
    ("the halt outlives the handle: a new handle's write fails too",
     ["close", "open", "0", "write", "16"],
     ["closed", "open \\\\.\\usbscan0 ok", "write call=0 error=31"]),
    ("a pipe type that is none is refused; resetting the write pipe clears the halt",
     ["reset", "7", "reset", "2", "reset", "1", "command", "0x12", "2", "0", "0"],
     ["reset failed error=87", "reset ok", "reset ok", "write call=1 moved=16 wait=signalled result=1 count=16",
      "read call=1 moved=32 wait=signalled result=1 count=32", "state=0"]),
    ("silent now: a read is held for the handle's read time-out, a write for its write time-out",
     ["timeouts", "1", "3", "0", "elapsed", "read", "32", "elapsed", "write", "16", "elapsed"],
     ["timeouts ok", (HELD, 0, None), "read call=0 error=121", (HELD, 1000, 2500), "write call=0 error=121",
      (HELD, 3000, 4500)]),
    ("the time-outs are the handle's own: a new handle sets others",
     ["open", "0", "timeouts", "2", "2", "2", "elapsed", "read", "32", "elapsed"],
     ["open \\\\.\\usbscan0 ok", "timeouts ok", (HELD, 0, None), "read call=0 error=121", (HELD, 2000, 3500)]),
]
# Requests held in the background: one for usbscan's default 120 s, one
# for ever. Both must still be held after HOLD_CHECK_S, and end with their
# process when it is killed.
BACKGROUND_HOLDS = [["open", "0", "read", "32"], ["open", "0", "timeouts", "0", "0", "0", "write", "16"]]
HOLD_CHECK_S = 6
# Once they are gone, the driver still answers: a last request held 1 s.
AFTER_KILL = (["open", "0", "timeouts", "1", "1", "1", "elapsed", "read", "32", "elapsed"],
              ["open \\\\.\\usbscan0 ok", "timeouts ok", (HELD, 0, None), "read call=0 error=121",
               (HELD, 1000, 2500)])
# The wire trace, request by request: (kind, status, count). The held
# requests are recorded as never answered, with nothing moved; the two in
# the background may come in either order.
ANSWERED = 0x00000000
TRACE_FOREGROUND = [("write", ANSWERED, 16), ("read", ANSWERED, 32), ("write", STATUS_FAILED, 0),
                    ("write", STATUS_FAILED, 0), ("write", STATUS_FAILED, 0), ("write", ANSWERED, 16),
                    ("read", ANSWERED, 32), ("read", STATUS_NEVER_ANSWERED, 0), ("write", STATUS_NEVER_ANSWERED, 0),
                    ("read", STATUS_NEVER_ANSWERED, 0)]
TRACE_BACKGROUND = sorted([("read", STATUS_NEVER_ANSWERED, 0), ("write", STATUS_NEVER_ANSWERED, 0)])
TRACE_LAST = [("read", STATUS_NEVER_ANSWERED, 0)]


def line_matches(expected, got):
    if isinstance(expected, str):
        return got == expected
    prefix, low, high = expected
    words = got.split()
    if len(words) != 3 or words[0] != prefix or words[2] != "ms" or not words[1].isdigit():
        return False
    return int(words[1]) >= low and (high is None or int(words[1]) < high)


def shown(expected):
    if isinstance(expected, str):
        return expected
    prefix, low, high = expected
    return "%s N ms, %d <= N%s" % (prefix, low, "" if high is None else " < %d" % high)


def compare(cases, printed):
    """Each case's lines against what the helper printed; returns the number
    of cases that failed."""
    failures, at = 0, 0
    for title, _, expected in cases:
        got = printed[at:at + len(expected)]
        at += len(expected)
        if len(got) != len(expected) or not all(line_matches(e, g) for e, g in zip(expected, got)):
            failures += 1
            print(f"FAILED: {title}")
            print("  expected:\n    " + "\n    ".join(shown(e) for e in expected))
            print("  got:\n    " + "\n    ".join(got))
        else:
            print(f"ok: {title}")
    if at != len(printed):
        failures += 1
        print(f"FAILED: {len(printed) - at} lines more than expected: {printed[at:]}")
    return failures


def run_calls(session, helper):
    # One helper process for all the cases: the handles and the scanner's
    # call counts carry over from one case to the next.
    steps = [step for _, case_steps, _ in CASES for step in case_steps]
    printed = session.wine(helper, "steps", *steps).stdout.decode().splitlines()
    return compare(CASES, printed), len(CASES)


def held_then_killed(session, helper):
    """Starts the background holds, checks they are still held after
    HOLD_CHECK_S, kills their processes; returns the number of failures."""
    outputs, copies = [], []
    for index, steps in enumerate(BACKGROUND_HOLDS):
        outputs.append(os.path.join(session.workdir, "held%d.out" % index))
        with open(outputs[-1], "wb") as out:
            copies.append(wine_harness.subprocess.Popen([wine_harness.WINE_RUN, helper, "steps"] + steps,
                                                        env=session.env, stdin=wine_harness.subprocess.DEVNULL,
                                                        stdout=out, stderr=wine_harness.subprocess.DEVNULL))
    time.sleep(HOLD_CHECK_S)
    failures = 0
    for steps, output, copy in zip(BACKGROUND_HOLDS, outputs, copies):
        with open(output, "rb") as f:
            printed = f.read().decode().splitlines()
        if copy.poll() is not None or any(" call=" in line for line in printed):
            failures += 1
            print(f"FAILED: {' '.join(steps)}: not held after {HOLD_CHECK_S} s: {printed}")
        else:
            print(f"ok: {' '.join(steps)}: still held after {HOLD_CHECK_S} s")
    for pid in session.processes(b"fwusimctl.exe"):
        os.kill(pid, signal.SIGKILL)
    for copy in copies:
        copy.wait(timeout=wine_harness.STEP_TIMEOUT_S)
    return failures


def trace_outcomes(path):
    _, packets = wire_trace.read_trace(path)
    return [(r.kind, r.complete.status, r.complete.data_length) for r in wire_trace.requests_of(packets)]


def check_trace(outcomes):
    front, back = len(TRACE_FOREGROUND), len(TRACE_FOREGROUND) + len(TRACE_BACKGROUND)
    if (outcomes[:front] != TRACE_FOREGROUND or sorted(outcomes[front:back]) != TRACE_BACKGROUND
            or outcomes[back:] != TRACE_LAST):
        print("FAILED: the wire trace: expected\n    %s\n    then in any order %s\n    then %s\n  got\n    %s"
              % (TRACE_FOREGROUND, TRACE_BACKGROUND, TRACE_LAST, outcomes))
        return 1
    print("ok: the wire trace records every held request as never answered")
    return 0


def run_timing(session, helper):
    steps = [step for _, case_steps, _ in TIMING_CASES for step in case_steps]
    printed = session.wine(helper, "steps", *steps).stdout.decode().splitlines()
    failures = compare(TIMING_CASES, printed)
    failures += held_then_killed(session, helper)
    after = session.wine(helper, "steps", *AFTER_KILL[0]).stdout.decode().splitlines()
    failures += compare([("after the kill the driver still holds and ends requests", None, AFTER_KILL[1])], after)
    held = json.loads(session.wine(helper, "report").stdout.decode())["driver"]["held_requests"]
    if held != 0:
        failures += 1
        print(f"FAILED: the driver still holds {held} requests of the killed processes")
    else:
        print("ok: the killed processes' requests were cancelled")
    trace = os.path.join(session.workdir, "wire.pcap")
    session.wine(helper, "trace", wine_harness.windows_path(trace))
    failures += check_trace(trace_outcomes(trace))
    return failures, len(TIMING_CASES) + len(BACKGROUND_HOLDS) + 3


WORLDS = {"calls": (WORLD, run_calls), "timing": (TIMING_WORLD, run_timing)}

def main(argv):
    if len(argv) != 4 or argv[0] not in WORLDS:
        print(__doc__)
        return 2
    world, run = WORLDS[argv[0]]
    helper, driver, workdir = argv[1:]
    workdir = os.path.abspath(workdir)
    os.makedirs(workdir, exist_ok=True)
    plan = scenario_plan.make_plan(world)
    session = wine_harness.Session(workdir, plan["environment"])
    try:
        wine_harness.set_up(session, plan, driver, workdir)
        failures, checks = run(session, helper)
    except (RuntimeError, OSError, ValueError, wire_trace.TraceError, wine_harness.subprocess.TimeoutExpired) as error:
        print(f"the driver could not be exercised: {error}")
        print("\n".join(session.log))
        return 1
    finally:
        session.server("-k")
    print(f"{checks - failures} passed, {failures} failed")
    if failures == 0:
        shutil.rmtree(session.prefix, ignore_errors=True)
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
