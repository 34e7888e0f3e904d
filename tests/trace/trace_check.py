#!/usr/bin/env python3
"""Checks of the wire trace, its dissector and its replay.

  trace_check.py dissect SIM LUA SCENARIO EXPECTED.fields
      The dissector's fields (tshark) on SCENARIO's trace equal the
      hand-written EXPECTED.fields.
  trace_check.py outcomes SIM SCENARIO INDEX=KIND,SIZE,OUTCOME,COUNT[@DEVICE] ...
      The trace's requests INDEX are as given ("read,36,success,20").
  trace_check.py replay SIM SCENARIO EXPECTED.out
      The trace replays (with the scenario's PC) to the same console bytes,
      which are EXPECTED.out when given ("-": the recorded run's), and to
      the very same trace.
  trace_check.py clock SIM SCENARIO
      Replayed in the default world (UTC, another start), the trace comes
      out the same: the PC's clock starts where the recorded run's did.
  trace_check.py compare SIM A.json B.json agree|differ
      The cross-build comparison of A's and B's traces comes out as said.
  trace_check.py diverge SIM SCENARIO INDEX OFFSET LINE
      With one byte of request INDEX's written data flipped, the replay
      ends with exit status 2 and LINE on standard error.
  trace_check.py split SIM SCENARIO EXPECTED.out IMAGE PIECE
      The trace with its image write cut into PIECE-byte packets replays to
      EXPECTED.out; so does no trace whose pieces carry other bytes.
"""
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "trace"))
import wire_trace  # noqa: E402

FIELDS = ["frame.number", "usb.device_address", "fwupdate.direction", "fwupdate.record", "fwupdate.command",
          "fwupdate.marker", "fwupdate.opcode.name", "fwupdate.subcode.name", "fwupdate.param.name",
          "fwupdate.length", "fwupdate.state.name"] + [
    "fwupdate.clock." + n for n in ("tm_sec", "tm_min", "tm_hour", "tm_mday", "tm_mon", "tm_year", "tm_wday",
                                    "tm_yday", "tm_isdst")] + ["fwupdate.image.bytes"]
DESCRIPTOR_FIELDS = ["frame.number", "usb.device_address", "usb.idVendor", "usb.idProduct"]


def run_sim(sim, *args):
    return subprocess.run([sim] + list(args), capture_output=True, timeout=300)


def expected_exit(scenario):
    """The exit status the scenario expects: a run a control event or a kill ends has its own."""
    sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
    from scenario_facts import load_scenario  # noqa: E402
    with open(scenario, encoding="utf-8") as f:
        return load_scenario(f.read()).get("expect", {}).get("exit_code", 0)


def record(sim, scenario, trace):
    run = run_sim(sim, "--scenario", scenario, "--trace", trace)
    if run.returncode != expected_exit(scenario):
        sys.exit(f"the recording run failed ({run.returncode}): {run.stderr.decode()}")
    return run.stdout


def tshark(trace, lua, display_filter, fields):
    args = ["tshark", "-r", trace, "-X", "lua_script:" + lua, "-Y", display_filter, "-T", "fields"]
    for field in fields:
        args += ["-e", field]
    run = subprocess.run(args, capture_output=True, timeout=120)
    if run.returncode != 0:
        sys.exit("tshark failed: " + run.stderr.decode())
    return [" | ".join(v for v in line.split("\t") if v) for line in run.stdout.decode().splitlines()]


def differ(what, expected, actual):
    print(f"{what} differ:")
    for index in range(max(len(expected), len(actual))):
        e = expected[index] if index < len(expected) else "(none)"
        a = actual[index] if index < len(actual) else "(none)"
        if e != a:
            print(f"  expected {e}\n  actual   {a}")
    return 1


def dissect(sim, lua, scenario, expected_file, work):
    trace = os.path.join(work, "t.pcap")
    record(sim, scenario, trace)
    with open(expected_file, encoding="utf-8") as f:
        lines = [l.strip() for l in f if l.strip() and not l.startswith("#")]
    expected = [l for l in lines if not l.startswith("descriptor: ")]
    expected_descriptors = [l[len("descriptor: "):] for l in lines if l.startswith("descriptor: ")]
    actual = tshark(trace, lua, "fwupdate", FIELDS)
    if actual != expected:
        return differ("the dissected fields", expected, actual)
    descriptors = tshark(trace, lua, "usb.idVendor", DESCRIPTOR_FIELDS)
    if descriptors != expected_descriptors:
        return differ("the descriptor answers", expected_descriptors, descriptors)
    print(f"{len(actual)} records and {len(descriptors)} descriptors as expected")
    return 0


def outcomes(sim, scenario, items, work):
    trace = os.path.join(work, "t.pcap")
    record(sim, scenario, trace)
    requests = wire_trace.requests_of(wire_trace.read_trace(trace)[1])
    failed = 0
    for item in items:
        index, want = item.split("=")
        device = None
        if "@" in want:
            want, device = want.split("@")
        kind, size, outcome, count = want.split(",")
        r = requests[int(index) - 1]
        got = (r.kind, r.submit.data_length if r.kind != "descriptor" else 0) + r.outcome()[:2]
        wanted = (kind, int(size), outcome, int(count))
        if got != wanted or (device is not None and r.submit.device != int(device)):
            print(f"request {index}: expected {wanted} on device {device}, recorded {got} on device {r.submit.device}")
            failed = 1
    return failed


def replay(sim, scenario, expected_out, work):
    trace, again = os.path.join(work, "t.pcap"), os.path.join(work, "again.pcap")
    console = record(sim, scenario, trace)
    run = run_sim(sim, "--scenario", scenario, "--replay", trace, "--trace", again)
    if run.returncode != expected_exit(scenario):
        print(f"the replay failed ({run.returncode}): {run.stderr.decode()}")
        return 1
    if expected_out != "-":
        with open(expected_out, "rb") as f:
            console = f.read()
    if run.stdout != console:
        print("the replay's console differs")
        return 1
    with open(trace, "rb") as a, open(again, "rb") as b:
        if a.read() != b.read():
            wire_trace.compare(trace, again)
            print("the replay's trace differs from the recorded one")
            return 1
    print("replayed to the same console and trace")
    return 0


def clock(sim, scenario, work):
    trace, again = os.path.join(work, "t.pcap"), os.path.join(work, "again.pcap")
    record(sim, scenario, trace)
    run = run_sim(sim, "--replay", trace, "--trace", again)
    with open(trace, "rb") as a, open(again, "rb") as b:
        if run.returncode != 0 or a.read() != b.read():
            wire_trace.compare(trace, again)
            print(f"the replay in the default world differs ({run.returncode}): {run.stderr.decode()}")
            return 1
    print("the clock record came out the same")
    return 0


def compare(sim, first, second, verdict, work):
    a, b = os.path.join(work, "a.pcap"), os.path.join(work, "b.pcap")
    record(sim, first, a)
    record(sim, second, b)
    agree = wire_trace.compare(a, b)
    if agree != (verdict == "agree"):
        print(f"the traces were expected to {verdict}")
        return 1
    return 0


def diverge(sim, scenario, index, offset, line, work):
    trace, edited = os.path.join(work, "t.pcap"), os.path.join(work, "edited.pcap")
    record(sim, scenario, trace)
    wire_trace.edit(trace, edited, int(index), int(offset))
    run = run_sim(sim, "--scenario", scenario, "--replay", edited)
    said = run.stderr.decode().strip()
    if run.returncode != 2 or said != line:
        print(f"expected status 2 and\n  {line}\ngot status {run.returncode} and\n  {said}")
        return 1
    print("the divergence is named")
    return 0


def split(sim, scenario, expected_out, image, piece, work):
    trace, pieces = os.path.join(work, "t.pcap"), os.path.join(work, "pieces.pcap")
    record(sim, scenario, trace)
    wire_trace.split(trace, pieces, int(piece), image)
    requests = wire_trace.requests_of(wire_trace.read_trace(pieces)[1])
    writes = [i for i, r in enumerate(requests, 1) if r.kind == "write" and r.submit.data_length == int(piece)]
    if len(writes) < 2:
        print("the image write was not split")
        return 1
    run = run_sim(sim, "--scenario", scenario, "--replay", pieces)
    with open(expected_out, "rb") as f:
        if run.returncode != 0 or run.stdout != f.read():
            print(f"the split trace did not replay ({run.returncode}): {run.stderr.decode()}")
            return 1
    # A piece past the first that carries other bytes is noticed: the
    # pieces are compared at their own offsets.
    wire_trace.edit(pieces, pieces, writes[len(writes) // 2], 7)
    run = run_sim(sim, "--scenario", scenario, "--replay", pieces)
    if run.returncode != 2:
        print("a changed piece of the image went unnoticed")
        return 1
    print(f"replayed with the image in {len(writes)} full pieces")
    return 0


def main(argv):
    command = argv[0]
    with tempfile.TemporaryDirectory() as work:
        if command == "dissect":
            return dissect(argv[1], argv[2], argv[3], argv[4], work)
        if command == "outcomes":
            return outcomes(argv[1], argv[2], argv[3:], work)
        if command == "replay":
            return replay(argv[1], argv[2], argv[3], work)
        if command == "clock":
            return clock(argv[1], argv[2], work)
        if command == "compare":
            return compare(argv[1], argv[2], argv[3], argv[4], work)
        if command == "diverge":
            return diverge(argv[1], argv[2], argv[3], argv[4], argv[5], work)
        if command == "split":
            return split(argv[1], argv[2], argv[3], argv[4], argv[5], work)
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
