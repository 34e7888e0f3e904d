#!/usr/bin/env python3
"""Runs the real fwupdate.exe under Wine against the simulated scanner.

  wine_harness.py run --scenario S.json --expected S.out --exe fwupdate.exe
                      --driver fwusim.sys --helper fwusimctl.exe
                      --image IMAGE --workdir DIR [--simulator fwupdate-sim] [--keep]
  wine_harness.py plan --scenario S.json

`run` builds a fresh Wine prefix in DIR/prefix, installs and starts the
scanner driver with the scenario's scanner, sets the imaging service, the
Image-class registry instances, the mutexes held by other applications and
the language, runs the executable with the scenario's arguments, and reads
back the facts the simulator reports. Standard output with CR LF folded to
LF must equal S.out byte for byte; the facts must meet the scenario's
"expect" (less what only virtual time fixes). The driver's wire trace is
saved as DIR/wire.pcap; with --simulator it must carry the same requests
in the same order with the same bytes as the simulator's trace of the same
scenario (DIR/sim.pcap), and the updater's time limit is derived from the
simulator's run. Exit status: 0 passed,
1 failed, 77 the scenario asks for something Wine cannot be made to do.
`plan` prints what `run` would set up.
"""
import argparse
import difflib
import fcntl
import json
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import report_facts  # noqa: E402
import scenario_plan  # noqa: E402

sys.path.insert(0, os.path.join(HERE, "..", "trace"))
import wire_trace  # noqa: E402

WINE_RUN = os.path.join(HERE, "..", "wine-run")
SKIPPED = 77
# The updater's time limit without a simulator run to derive one from.
UPDATER_TIMEOUT_S = 400
# With one: the scenario's virtual run time, stretched for real calls under
# load, plus a margin for Wine's start-up.
UPDATER_TIME_FACTOR = 1.5
UPDATER_TIME_MARGIN_S = 120
STEP_TIMEOUT_S = 120
# Making a prefix now and then fails on a loaded machine (wineboot gives
# up); a fresh attempt then succeeds.
PREFIX_TRIES = 3
# Starting the driver's service fails the same way now and then ("Internal
# error" from the loader); a run that fails on setup says nothing of the
# updater, so the start is tried again.
DRIVER_START_TRIES = 3
DRIVER_START_PAUSE_S = 2
# Putting the imaging service into the scenario's state fails the same way
# now and then (the service's own start, under load); the helper's step
# leaves a service that is already as asked alone, so it is simply run again.
SERVICE_SETUP_TRIES = 3
SESSION_LINGER_S = 30
# A prefix made once and copied for each run (FWU_PREFIX_TEMPLATE names its
# folder): making one costs some 20 s of a loaded machine, a copy under 2.
PREFIX_TEMPLATE = "FWU_PREFIX_TEMPLATE"
READY_MARK = ".fwu-ready"


class Session:
    """One scenario's own Wine prefix and its wineserver."""

    def __init__(self, workdir, environment):
        self.workdir = workdir
        self.calls = 0
        self.prefix = os.path.join(workdir, "prefix")
        self.env = dict(os.environ)
        self.env.update(environment)
        self.env["FWU_WINEPREFIX"] = self.prefix
        self.env["WINEPREFIX"] = self.prefix
        self.env.setdefault("WINEDEBUG", "-all")
        self.env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
        self.env["WINEARCH"] = "win64"
        self.log = []

    def wine(self, *args, check=True, timeout=STEP_TIMEOUT_S):
        """Runs a program in the prefix. Output goes through files: a
        program that starts the service manager hands it its standard
        handles, and a pipe would then never reach its end."""
        out_file, err_file = self.output_files()
        with open(out_file, "wb") as out, open(err_file, "wb") as err:
            started = time.monotonic()
            code = subprocess.run([WINE_RUN] + list(args), env=self.env, stdout=out, stderr=err,
                                  stdin=subprocess.DEVNULL, timeout=timeout).returncode
        with open(out_file, "rb") as out, open(err_file, "rb") as err:
            result = subprocess.CompletedProcess(args, code, out.read(), err.read())
        result.seconds = time.monotonic() - started
        self.log.append("$ wine %s -> %d\n%s%s" % (" ".join(args), code, result.stdout.decode("utf-8", "replace"),
                                                  result.stderr.decode("utf-8", "replace")))
        if check and code != 0:
            raise RuntimeError("wine %s failed with status %d" % (" ".join(args), code))
        return result

    def output_files(self):
        self.calls += 1
        base = os.path.join(self.workdir, "step%02d" % self.calls)
        return base + ".out", base + ".err"

    def server(self, *flags):
        subprocess.run(["wineserver"] + list(flags), env=self.env, timeout=STEP_TIMEOUT_S, check=False)

    def start_background(self, *args):
        return subprocess.Popen([WINE_RUN] + list(args), env=self.env, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def processes(self, program):
        """Unix processes that carry `program` (bytes, e.g. b"fwupdate.exe")
        in this session's prefix."""
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    command = f.read()
                with open(f"/proc/{entry}/environ", "rb") as f:
                    environment = f.read().split(b"\0")
            except OSError:
                continue
            if program in command and ("WINEPREFIX=" + self.prefix).encode() in environment:
                found.append(int(entry))
        return found


def case_arguments(cases):
    """The command line of a Wine test that plays one of `cases` against
    fwupdate.exe with the scanner driver and its helper."""
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(cases))
    for option in ("--exe", "--driver", "--helper", "--workdir"):
        parser.add_argument(option, required=True)
    return parser


def fresh_session(workdir):
    """A session in an emptied `workdir` of its own."""
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    return Session(workdir, {})


def make_template(session, template):
    """Makes the template prefix once, whoever asks first; the others wait.
    Nothing ever runs in it afterwards, so a finished one is copied
    without a lock."""
    if os.path.exists(os.path.join(template, READY_MARK)):
        return
    os.makedirs(os.path.dirname(template), exist_ok=True)
    env = dict(session.env)
    env["WINEPREFIX"] = template
    with open(template + ".lock", "w", encoding="ascii") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        for _ in range(PREFIX_TRIES):
            if os.path.exists(os.path.join(template, READY_MARK)):
                return
            shutil.rmtree(template, ignore_errors=True)
            made = subprocess.run(["wineboot", "-i"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, timeout=STEP_TIMEOUT_S, check=False)
            # Its registry is written when its wineserver ends.
            subprocess.run(["wineserver", "-w"], env=env, timeout=STEP_TIMEOUT_S, check=False)
            if made.returncode == 0:
                open(os.path.join(template, READY_MARK), "w", encoding="ascii").close()


def copy_template(session):
    """The session's prefix as a copy of the template, when one is named
    and can be made; otherwise the first Wine command makes it afresh."""
    template = session.env.get(PREFIX_TEMPLATE)
    if not template:
        return
    make_template(session, os.path.abspath(template))
    if os.path.exists(os.path.join(template, READY_MARK)):
        shutil.rmtree(session.prefix, ignore_errors=True)
        subprocess.run(["cp", "-a", os.path.abspath(template), session.prefix], timeout=STEP_TIMEOUT_S, check=False)


def set_up(session, plan, driver, workdir):
    reg_file = os.path.join(workdir, "setup.reg")
    with open(reg_file, "w", encoding="utf-16") as f:
        f.write(plan["registry_file"])
    copy_template(session)
    # The first wine command makes the prefix (unless it is a copy of the
    # template); the driver goes in after it.
    for attempt in range(1, PREFIX_TRIES + 1):
        if session.wine("cmd", "/c", "exit", check=False).returncode == 0:
            break
        session.server("-k")
        shutil.rmtree(session.prefix, ignore_errors=True)
        if attempt == PREFIX_TRIES:
            raise RuntimeError("no Wine prefix could be made in %d tries" % PREFIX_TRIES)
    shutil.copyfile(driver, os.path.join(session.prefix, "drive_c", "windows", "system32", "drivers",
                                         scenario_plan.DRIVER_NAME + ".sys"))
    session.wine("reg", "import", reg_file)
    # The service manager reads its list of services when it starts: end
    # this session so the next one knows the driver. The next one outlives
    # the short gaps between our programs (the driver and the imaging
    # service would go with it), yet ends by itself if the harness is
    # killed.
    session.server("-w")
    session.server("-p%d" % SESSION_LINGER_S)
    for attempt in range(1, DRIVER_START_TRIES + 1):
        started = session.wine("net", "start", scenario_plan.DRIVER_NAME, check=False)
        if started.returncode == 0 or driver_running(session):
            break
        if attempt == DRIVER_START_TRIES:
            raise RuntimeError("the driver could not be started in %d tries" % DRIVER_START_TRIES)
        time.sleep(DRIVER_START_PAUSE_S)


def set_up_service(session, helper, service):
    """Puts the imaging service into the scenario's state; returns the
    service as the helper then read it."""
    for attempt in range(1, SERVICE_SETUP_TRIES + 1):
        result = session.wine(helper, "service", "installed" if service["installed"] else "absent",
                              service["state"], service["start_type"], check=False)
        if result.returncode == 0:
            return json.loads(result.stdout.decode())
        if attempt == SERVICE_SETUP_TRIES:
            raise RuntimeError("the imaging service could not be set up in %d tries" % SERVICE_SETUP_TRIES)
        time.sleep(DRIVER_START_PAUSE_S)
    return None


def driver_running(session):
    """Whether the driver's service runs, whatever the start's own status
    said (a start that failed late may have started it)."""
    query = session.wine("sc", "query", scenario_plan.DRIVER_NAME, check=False)
    return b"RUNNING" in query.stdout


def simulate(simulator, scenario, workdir, status=0):
    """The simulator's run of the same scenario: its wire trace, and the
    virtual time the run takes, which bounds the real one. `status` is the
    process status the scenario's exit code gives (its low byte; 0, as
    every run without a switch ends, when not given)."""
    trace = os.path.join(workdir, "sim.pcap")
    report = os.path.join(workdir, "sim-report.json")
    run = subprocess.run([simulator, "--scenario", scenario, "--trace", trace, "--report", report],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=STEP_TIMEOUT_S)
    if run.returncode != status:
        raise RuntimeError(f"the simulator failed on the scenario ({run.returncode}): " + run.stderr.decode("utf-8", "replace"))
    with open(report, encoding="utf-8") as f:
        virtual_ms = json.load(f)["virtual_ms"]
    return trace, virtual_ms / 1000.0 * UPDATER_TIME_FACTOR + UPDATER_TIME_MARGIN_S


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def play(args):
    with open(args.scenario, encoding="utf-8") as f:
        scenario = scenario_plan.load_scenario(f.read())
    plan = scenario_plan.make_plan(scenario)
    name = os.path.splitext(os.path.basename(args.scenario))[0]
    if plan["unsupported"]:
        print(f"{name}: not run under Wine:")
        for reason in plan["unsupported"]:
            print("  " + reason)
        return SKIPPED

    workdir = os.path.abspath(args.workdir)
    if os.path.exists(workdir):
        shutil.rmtree(workdir)
    os.makedirs(workdir)
    session = Session(workdir, plan["environment"])
    started = time.monotonic()
    others = None
    sim_trace, updater_limit = None, UPDATER_TIMEOUT_S
    wine_trace = os.path.join(workdir, "wire.pcap")
    try:
        if args.simulator:
            if not os.path.exists(args.simulator):
                raise RuntimeError(f"no simulator at {args.simulator}: build the linux preset first")
            sim_trace, updater_limit = simulate(args.simulator, args.scenario, workdir,
                                                 scenario.get("expect", {}).get("exit_code", 0) & 0xFF)
        set_up(session, plan, args.driver, workdir)
        service_before = set_up_service(session, args.helper, plan["service"])

        others_args = []
        for held in plan["held_mutexes"]:
            others_args += ["--hold", held]
        for released, at_ms in plan["released_mutexes"]:
            others_args += ["--release", released, str(at_ms)]
        for watched in plan["watched_mutexes"]:
            others_args += ["--watch", watched]
        others = session.start_background(args.helper, "others", *others_args)
        if others.stdout.readline().strip() != b"ready":
            raise RuntimeError("the helper could not take the held mutexes: "
                               + others.stderr.read().decode("utf-8", "replace"))

        updater = session.wine(os.path.abspath(args.exe), *plan["arguments"], check=False,
                               timeout=updater_limit)
        updater_seconds = updater.seconds
        session.wine(args.helper, "trace", windows_path(wine_trace))

        out, err = others.communicate(timeout=STEP_TIMEOUT_S)
        fates = json.loads(out.decode("utf-8").splitlines()[-1])
        others = None
        helper_report = json.loads(session.wine(args.helper, "report").stdout.decode())
    except (RuntimeError, subprocess.TimeoutExpired, ValueError, OSError) as error:
        print(f"{name}: the Wine run broke down: {error}")
        print("\n".join(session.log))
        return 1
    finally:
        if others is not None:
            others.kill()
        session.server("-k")

    console = report_facts.fold_line_ends(updater.stdout)
    with open(os.path.join(workdir, "console.out"), "wb") as f:
        f.write(console)
    report = report_facts.build_report(updater.returncode, service_before, helper_report, fates,
                                       report_facts.image_facts(args.image), plan["environment"].get("TZ"))
    report["run_record"] = run_record_facts(session.prefix)
    report["wine"] = {"updater_seconds": round(updater_seconds, 2),
                      "total_seconds": round(time.monotonic() - started, 2),
                      "driver": helper_report["driver"]}
    with open(os.path.join(workdir, "report.json"), "w", encoding="utf-8") as f:
        json.dump(report, f, indent=2)

    ok = True
    with open(args.expected, "rb") as f:
        expected_console = f.read()
    if console != expected_console:
        ok = False
        print(f"{name}: the console differs from {args.expected}")
        for line in difflib.unified_diff(expected_console.decode("latin-1").splitlines(True),
                                         console.decode("latin-1").splitlines(True), "expected", "wine"):
            sys.stdout.write(line if line.endswith("\n") else line + "\n")
    expect, relaxed = report_facts.real_time_expectations(scenario.get("expect", {}))
    problems = []
    # The world must have been built as asked before its outcome means
    # anything.
    driver_state = helper_report["driver"]
    if not driver_state["config_ok"]:
        problems.append("the driver refused a configuration value and ran the default scanner")
    if driver_state["foreign_devices"] != plan["foreign_count"]:
        problems.append("the driver published %d other devices, the scenario has %d"
                        % (driver_state["foreign_devices"], plan["foreign_count"]))
    # A request the scanner left unanswered ends at its time-out, or with
    # the updater's process; none may outlive it.
    if driver_state["held_requests"] != 0:
        problems.append("the driver still holds %d requests after the updater ended" % driver_state["held_requests"])
    report_facts.check_facts(expect, report, report, "", problems)
    check_run_record(report["run_record"], plan["arguments"], updater.returncode, problems)
    if sim_trace is not None:
        # Same requests, same order, same bytes; time stamps and the clock
        # record's time fields aside.
        import io
        said = io.StringIO()
        if not wire_trace.compare(sim_trace, wine_trace, out=said):
            problems.append("the wire trace differs from the simulator's (%s, %s):\n%s"
                            % (sim_trace, wine_trace, said.getvalue().rstrip()))
        else:
            print(f"{name}: wire trace: {said.getvalue().strip()}")
    for problem in problems:
        print(f"{name}: {problem}")
    ok = ok and not problems
    for note in plan["approximations"] + ["not compared: " + r for r in relaxed]:
        print(f"{name}: {note}")
    print(f"{name}: {'passed' if ok else 'FAILED'} in {report['wine']['updater_seconds']} s of updater run, "
          f"{report['wine']['total_seconds']} s in all")
    if not ok:
        print(json.dumps(report, indent=2))
        print(updater.stderr.decode("utf-8", "replace"))
    elif not args.keep:
        shutil.rmtree(session.prefix, ignore_errors=True)
    return 0 if ok else 1


def run_record_facts(prefix):
    """What the run left in the prefix's run record: how many lines, and
    the last line's outcome and exit code (None when it does not parse)."""
    path = os.path.join(prefix, "drive_c", "ProgramData", "fwupdate", "runs.jsonl")
    try:
        with open(path, "rb") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return {"lines": 0}
    facts = {"lines": len(lines), "outcome": None, "exit_code": None}
    if lines:
        try:
            last = json.loads(lines[-1])
            facts.update(outcome=last.get("outcome"), exit_code=last.get("exit_code"))
        except ValueError:
            pass
    return facts


def check_run_record(record, arguments, returncode, problems):
    """Every run but the help leaves one whole line whose exit code is the
    process's (Linux sees only its low byte)."""
    if any(len(a) > 1 and a[1] in "?hH-" for a in arguments):
        if record["lines"] != 0:
            problems.append("the help run left a run record line")
        return
    if record["lines"] != 1:
        problems.append("the run record holds %d lines, not 1" % record["lines"])
    elif not isinstance(record["exit_code"], int) or (record["exit_code"] & 0xFF) != (returncode & 0xFF):
        problems.append("the run record's line says exit code %r, the process ended with %d"
                        % (record["exit_code"], returncode))


def show_plan(args):
    with open(args.scenario, encoding="utf-8") as f:
        plan = scenario_plan.make_plan(scenario_plan.load_scenario(f.read()))
    registry = plan.pop("registry_file")
    print(json.dumps(plan, indent=2))
    print(registry)
    return 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser("run")
    for option in ("--scenario", "--expected", "--exe", "--driver", "--helper", "--image", "--workdir"):
        run.add_argument(option, required=True)
    run.add_argument("--simulator", help="fwupdate-sim: compare wire traces with its run of the scenario")
    run.add_argument("--keep", action="store_true", help="keep the prefix after a pass")
    plan = sub.add_parser("plan")
    plan.add_argument("--scenario", required=True)
    args = parser.parse_args(argv)
    return play(args) if args.command == "run" else show_plan(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
