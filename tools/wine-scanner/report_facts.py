"""The facts of a run under Wine, in the shape of the simulator's report,
and the part of a scenario's expectations that a run in real time can be
held to."""
import copy
import hashlib
import os
import time

import os as _os
import sys as _sys

# The scenario reading and fact checking shared with the simulator's runner.
_sys.path.insert(0, _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), ".."))
from scenario_facts import check_facts  # noqa: F401  (the harness checks through this module)

# Facts that only the simulator's virtual time fixes: how long the run took
# and how it ended inside the process are not observable from outside, and
# the scanner's clock follows the real clock.
REAL_TIME_FACTS = ("virtual_ms", "ended_by")


def fold_line_ends(console):
    """The C run-time writes each line feed as CR LF on Windows."""
    return console.replace(b"\r\n", b"\n")


def mutex_facts(fates):
    """fates: watched name -> "unseen" | "released" | "abandoned" | "owned".
    A watched name that existed during the run was created by the updater
    (names held by others are not watched, or only once they let go of
    them); one that the platform marked abandoned was still owned by the
    updater when its process ended."""
    created = sorted(name for name, fate in fates.items() if fate != "unseen")
    owned = sorted(name for name, fate in fates.items() if fate == "abandoned")
    return {"created": created, "owned_at_exit": owned}


def clock_text(record, held, set_at_ms, now_ms, zone):
    """The time the scanner holds at the end, as the simulator writes it:
    the record it received read as local time, plus the whole seconds since
    it arrived. None when it holds no time."""
    if not held:
        return None
    sec, minute, hour, mday, mon, year, _wday, _yday, isdst = record
    saved = os.environ.get("TZ")
    try:
        if zone is not None:
            os.environ["TZ"] = zone
        time.tzset()
        try:
            seconds = time.mktime((year + 1900, mon + 1, mday, hour, minute, sec, 0, 0, isdst))
        except (OverflowError, ValueError):
            return None
        seconds += max(0, now_ms - set_at_ms) // 1000
        return time.strftime("%Y-%m-%dT%H:%M:%S", time.localtime(seconds))
    finally:
        if saved is None:
            os.environ.pop("TZ", None)
        else:
            os.environ["TZ"] = saved
        time.tzset()


def image_facts(path):
    with open(path, "rb") as f:
        data = f.read()
    return {"bytes": len(data), "sha256": hashlib.sha256(data).hexdigest()}


def build_report(exit_code, service_before, helper_report, fates, image, zone):
    scanner = helper_report["scanner"]
    driver = helper_report["driver"]
    return {
        "exit_code": exit_code,
        "service": {"before": service_before, "after": helper_report["service"]},
        "mutexes": mutex_facts(fates),
        "scanner": {
            "downloads": scanner["downloads"],
            "download_param": scanner["download_param"] if scanner["downloads"] > 0 else None,
            "image_bytes": scanner["image_bytes"],
            "image_sha256": scanner["image_sha256"],
            "clock": clock_text(scanner["clock_record"], scanner["clock_held"], scanner["clock_set_at_ms"],
                                driver["now_ms"], zone),
        },
        "embedded_image": image,
    }


class AnyText:
    """Stands for "some time" where the simulator names an exact one."""

    def check(self, actual, where, problems):
        if not isinstance(actual, str):
            problems.append(f"{where}: expected a time, the report says {actual!r}")


def real_time_expectations(expect):
    """The scenario's expectations less what real time cannot reproduce.
    Returns the expectations and a list of what was relaxed."""
    expect = copy.deepcopy(expect)
    relaxed = []
    # Wine's own process status keeps the exit code's low byte alone, as
    # any Linux process's does: an unattended run's 1618 shows as 82.
    code = expect.get("exit_code")
    if isinstance(code, int) and not 0 <= code <= 255:
        expect["exit_code"] = code & 0xFF
        relaxed.append(f"exit_code: {code} as its low byte, {code & 0xFF}")
    for key in REAL_TIME_FACTS:
        if key in expect:
            del expect[key]
            relaxed.append(key)
    scanner = expect.get("scanner")
    if isinstance(scanner, dict) and isinstance(scanner.get("clock"), str):
        scanner["clock"] = AnyText()
        relaxed.append("scanner.clock: some time, not the simulator's")
    return expect, relaxed


