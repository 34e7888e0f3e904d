#!/usr/bin/env python3
"""What a real PC does to a run of the real fwupdate.exe under Wine.

  interruptions.py ctrl_c|kill_rerun|two_copies|two_copies_normal --exe fwupdate.exe
                   --driver fwusim.sys --helper fwusimctl.exe --workdir DIR

ctrl_c:     SIGINT to the updater's process in the middle of the burn (Wine
            turns it into CTRL_C_EVENT): the update goes on to its end and
            the imaging service ends running and automatic.
kill_rerun: SIGKILL in the middle of the burn, the Wine session ended and
            started again, the updater run again: the imaging service ends
            running and automatic, and the updater's registry record is gone.
two_copies: a scanner in its recovery loader; a second copy started once
            the first has sent the image and waits for the power cycle.
            The second copy's console is exactly the mode echo, the scanner
            found, busy, failed, line by line; while the first still burns,
            the imaging service is stopped and disabled and the first
            copy's record is in place; exactly one download, and the first
            copy succeeds and gives the service back.
two_copies_normal: the same with a scanner running its normal firmware,
            the second copy started at the first burn poll.
Exit status 0 passed, 1 failed.
"""
import difflib
import json
import os
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "wine-scanner"))

import scenario_plan  # noqa: E402
import wine_harness  # noqa: E402

# A burn long enough to be interrupted in its middle.
LONG_BURN = {"scanner": {"burn_ms": 12000}}
# Worlds in which a second copy starts while the first burns: the burn, or
# the recovery loader's stay on the bus before its power cycle, lasts long
# enough for the second copy to start under Wine on a loaded machine, find
# the scanner, fail, and for the harness to look at the service, with the
# first copy still burning. Each with the first copy's line that starts the
# second (the image has been sent, so the record is written and the
# service is disabled).
SECOND_COPY_WORLDS = {
    "two_copies": ({"scanner": {"recovery": True,
                                "power_cycle": {"leave_after_ms": 20000, "absent_ms": 2000, "return_path": 0,
                                                "return_in_recovery": False}}},
                   b"FW Upgrade! Please wait..."),
    "two_copies_normal": ({"scanner": {"burn_ms": 25000}}, b"Burning firmware... (1)"),
}
# All that a second copy may print, line by line (each message followed by
# its blank line, as the catalogue prints it): the mode echo, the scanner
# found, the first copy's hold on the one-updater mutex, the failure.
# Nothing of the imaging service: the record it may find is the first
# copy's, alive.
SECOND_COPY_CONSOLE = (b"0\n"
                       b"Device found!!\n\n"
                       b"Device is busy... Please wait...\n\n"
                       b"Update Failed: After 20 second will close windows\n\n")
FIRST_COPY_DONE = b"Burning firmware done!!"
RUN_LIMIT_S = 240
RECORD_KEY = "HKLM\\SOFTWARE\\fwupdate"


class Copy:
    """One copy of the updater in the background, its console in a file: a
    program that starts a service hands it its standard handles, so a pipe
    would not reach its end."""

    def __init__(self, session, exe, name):
        self.path = os.path.join(session.workdir, name + ".out")
        self.file = open(self.path, "wb")
        self.process = wine_harness.subprocess.Popen([wine_harness.WINE_RUN, exe], env=session.env,
                                                     stdin=wine_harness.subprocess.DEVNULL,
                                                     stdout=self.file, stderr=wine_harness.subprocess.DEVNULL)

    def console(self):
        with open(self.path, "rb") as f:
            return f.read().replace(b"\r\n", b"\n")

    def wait_for(self, text, limit_s=RUN_LIMIT_S):
        deadline = time.monotonic() + limit_s
        while text not in self.console():
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError("never printed %r; printed:\n%s" % (text, self.console().decode("latin-1")))
            time.sleep(0.2)

    def finish(self):
        self.process.wait(timeout=RUN_LIMIT_S)
        self.file.close()
        return self.console()


def prepare(session, args, overrides):
    plan = scenario_plan.make_plan(scenario_plan.load_scenario(json.dumps(overrides)))
    session.env.update(plan["environment"])
    wine_harness.set_up(session, plan, args.driver, session.workdir)
    wine_harness.set_up_service(session, args.helper, plan["service"])
    return plan


def service_after(session, args):
    return json.loads(session.wine(args.helper, "report").stdout.decode())["service"]


def record_present(session):
    return session.wine("reg", "query", RECORD_KEY, check=False).returncode == 0


def record_values(session):
    """The record's values as {name: number}, or None without the key."""
    query = session.wine("reg", "query", RECORD_KEY, check=False)
    if query.returncode != 0:
        return None
    values = {}
    for line in query.stdout.decode("latin-1").splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[1] == "REG_DWORD":
            values[fields[0]] = int(fields[2], 16)
    return values


def check_given_back(session, args, problems):
    service = service_after(session, args)
    if service.get("state") != "running" or service.get("start_type") != "auto":
        problems.append("the imaging service ends %s" % json.dumps(service))
    if record_present(session):
        problems.append("the registry record %s is still there" % RECORD_KEY)


def ctrl_c(session, args, problems):
    prepare(session, args, LONG_BURN)
    copy = Copy(session, args.exe, "updater")
    copy.wait_for(b"Burning firmware... (3)")
    pids = session.processes(b"fwupdate.exe")
    if not pids:
        raise RuntimeError("no process carries fwupdate.exe")
    for pid in pids:
        os.kill(pid, signal.SIGINT)
    console = copy.finish()
    for text in (b"Burning firmware done!!", b"Start WIA service...", b"Update Succeed"):
        if text not in console:
            problems.append("the console lacks %r after Ctrl+C:\n%s" % (text, console.decode("latin-1")))
    check_given_back(session, args, problems)


def kill_rerun(session, args, problems):
    prepare(session, args, LONG_BURN)
    copy = Copy(session, args.exe, "killed")
    copy.wait_for(b"Burning firmware... (3)")
    for pid in session.processes(b"fwupdate.exe"):
        os.kill(pid, signal.SIGKILL)
    copy.finish()
    # The session ends with the process, as a log-off would; the next one
    # starts the scanner's driver again.
    session.server("-k")
    session.server("-w")
    session.server("-p%d" % wine_harness.SESSION_LINGER_S)
    session.wine("net", "start", scenario_plan.DRIVER_NAME, check=False)
    if not wine_harness.driver_running(session):
        raise RuntimeError("the driver did not start again")
    # The killed copy may have left the service disabled, or died before it
    # got there: the next run must leave it given back either way.
    rerun = session.wine(args.exe, check=False, timeout=RUN_LIMIT_S)
    console = rerun.stdout.replace(b"\r\n", b"\n")
    if b"Update Succeed" not in console:
        problems.append("the run after the kill did not succeed:\n" + console.decode("latin-1"))
    check_given_back(session, args, problems)


def compare_console(what, expected, console, problems):
    """`console` against `expected`, whole; a difference is shown line by
    line."""
    if console != expected:
        diff = difflib.unified_diff(expected.decode("latin-1").split("\n"), console.decode("latin-1").split("\n"),
                                    "expected", "printed", lineterm="")
        problems.append("%s printed other lines:\n%s" % (what, "\n".join(diff)))


def two_copies(session, args, problems):
    world, second_start = SECOND_COPY_WORLDS[args.case]
    prepare(session, args, world)
    first = Copy(session, args.exe, "first")
    first.wait_for(second_start)
    second = Copy(session, args.exe, "second")
    second.wait_for(b"Update Failed")
    # The second copy is in its closing pause; the first must still be
    # burning for what follows to say anything about the second.
    service = service_after(session, args)
    record = record_values(session)
    if FIRST_COPY_DONE in first.console():
        raise RuntimeError("the first copy's burn ended before the service was looked at:\n"
                           + first.console().decode("latin-1"))
    if service.get("state") != "stopped" or service.get("start_type") != "disabled":
        problems.append("while the first copy burns, the imaging service is %s, not stopped and disabled"
                        % json.dumps(service))
    # The first copy's record of the service as it found it (running, auto),
    # and, once its image has begun to leave, that it has.
    if record is None or record.get("ImageSent", 1) != 1 or \
            {k: v for k, v in record.items() if k != "ImageSent"} != {"ImagingServiceState": 4,
                                                                      "ImagingServiceStartType": 2}:
        problems.append("while the first copy burns, the record %s holds %s" % (RECORD_KEY, record))
    second_console = second.finish()
    first_console = first.finish()
    compare_console("the second copy", SECOND_COPY_CONSOLE, second_console, problems)
    if b"Update Succeed" not in first_console:
        problems.append("the first copy printed:\n" + first_console.decode("latin-1"))
    downloads = json.loads(session.wine(args.helper, "report").stdout.decode())["scanner"]["downloads"]
    if downloads != 1:
        problems.append("the scanner received %d downloads" % downloads)
    check_given_back(session, args, problems)


CASES = {"ctrl_c": ctrl_c, "kill_rerun": kill_rerun,
         "two_copies": two_copies, "two_copies_normal": two_copies}


def main(argv):
    parser = wine_harness.case_arguments(CASES)
    args = parser.parse_args(argv)
    args.exe = os.path.abspath(args.exe)
    session = wine_harness.fresh_session(os.path.abspath(args.workdir))
    problems = []
    started = time.monotonic()
    try:
        CASES[args.case](session, args, problems)
    except (RuntimeError, wine_harness.subprocess.TimeoutExpired, ValueError, OSError) as error:
        problems.append("the Wine run broke down: %s" % error)
        print("\n".join(session.log))
    finally:
        session.server("-k")
    for problem in problems:
        print(f"{args.case}: {problem}")
    print(f"{args.case}: {'FAILED' if problems else 'passed'} in {time.monotonic() - started:.1f} s")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
