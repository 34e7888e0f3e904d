#!/usr/bin/env python3
"""The simulated scanner driver under Wine, call by call.

  driver_check.py HELPER DRIVER WORKDIR

Starts the driver in a fresh prefix with other makers' devices and a
scanner that runs its recovery loader, has fault rules and power-cycles to
another number, then makes the updater's own device calls through the
helper and compares every reported call with the lines written below:
what a program sees of the published paths, the descriptors, the transfer
faults as the platform reports them, a handle killed by the power cycle,
and the scanner back under its new number.
"""
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "wine-scanner"))

import scenario_plan  # noqa: E402
import wine_harness  # noqa: E402

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
    ("other maker's device answers with its own ids",
     ["open", "0", "descriptor", "close"],
     ["open \\\\.\\usbscan0 ok", "descriptor vendor=04a9 product=1234 returned=8", "closed"]),
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


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    helper, driver, workdir = argv
    workdir = os.path.abspath(workdir)
    os.makedirs(workdir, exist_ok=True)
    plan = scenario_plan.make_plan(WORLD)
    session = wine_harness.Session(workdir, plan["environment"])
    failures = 0
    try:
        wine_harness.set_up(session, plan, driver, workdir)
        # One helper process for all the cases: the handles and the
        # scanner's call counts carry over from one case to the next.
        steps = [step for _, case_steps, _ in CASES for step in case_steps]
        printed = session.wine(helper, "steps", *steps).stdout.decode().splitlines()
    except (RuntimeError, OSError) as error:
        print(f"the driver could not be exercised: {error}")
        print("\n".join(session.log))
        return 1
    finally:
        session.server("-k")
    at = 0
    for title, _, expected in CASES:
        got = printed[at:at + len(expected)]
        at += len(expected)
        if got != expected:
            failures += 1
            print(f"FAILED: {title}")
            print("  expected:\n    " + "\n    ".join(expected))
            print("  got:\n    " + "\n    ".join(got))
        else:
            print(f"ok: {title}")
    if at != len(printed):
        failures += 1
        print(f"FAILED: {len(printed) - at} lines more than expected: {printed[at:]}")
    print(f"{len(CASES) - failures} passed, {failures} failed")
    if failures == 0:
        shutil.rmtree(session.prefix, ignore_errors=True)
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
