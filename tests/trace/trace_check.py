#!/usr/bin/env python3
"""Checks of the wire trace, its dissector and its replay.

  trace_check.py dissect SIM LUA SCENARIO EXPECTED.fields
      The dissector's fields (tshark) on SCENARIO's trace equal the
      hand-written EXPECTED.fields.
  trace_check.py cut SIM LUA SCENARIO SNAP
      SCENARIO's trace with each packet cut to its first SNAP bytes, as a
      capture with that snap length keeps it: the dissector names every
      record as on the whole trace, shows each field as there or not at
      all, marks exactly the records that lost bytes it decodes, and never
      fails; wire_trace.py sets aside the same clock records.
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
import struct
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
                                    "tm_yday", "tm_isdst")] + ["fwupdate.image.bytes", "fwupdate.outcome"]
DESCRIPTOR_FIELDS = ["frame.number", "usb.device_address", "usb.idVendor", "usb.idProduct"]
# What a cut capture is checked by: where FIELDS show the record, what the
# frame kept and what the dissector says it kept.
CUT_FIELDS = ["frame.len", "frame.cap_len", "usb.usbpcap_header_len", "fwupdate.captured", "_ws.lua.error"]


def run_sim(sim, *args):
    return subprocess.run([sim] + list(args), capture_output=True, timeout=300)


def expected_exit(scenario):
    """The exit status the scenario expects: a run a control event or a kill ends has its own."""
    sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
    from scenario_facts import load_scenario  # noqa: E402
    with open(scenario, encoding="utf-8") as f:
        # A process status keeps the exit code's low byte alone (1618: 82).
        return load_scenario(f.read()).get("expect", {}).get("exit_code", 0) & 0xFF


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


def cut_trace(path, out_path, snap):
    """Keeps each packet's first SNAP bytes; its record still says its full
    length (orig_len), as a capture with that snap length writes it. Done
    apart from wire_trace.py, which the check judges."""
    with open(path, "rb") as f:
        raw = f.read()
    out = bytearray(raw[:24])
    struct.pack_into("<I", out, 16, snap)
    at = 24
    while at + 16 <= len(raw):
        ts_sec, ts_usec, incl, orig = struct.unpack_from("<IIII", raw, at)
        kept = min(incl, snap)
        out += struct.pack("<IIII", ts_sec, ts_usec, kept, orig) + raw[at + 16:at + 16 + kept]
        at += 16 + incl
    with open(out_path, "wb") as f:
        f.write(out)


def dissected(trace, lua):
    """Each frame the dissector names (or fails on): frame number -> the
    values of FIELDS + CUT_FIELDS, an absent one as ""."""
    args = ["tshark", "-r", trace, "-X", "lua_script:" + lua, "-Y", "fwupdate || _ws.lua.error", "-T", "fields"]
    for field in FIELDS + CUT_FIELDS:
        args += ["-e", field]
    run = subprocess.run(args, capture_output=True, timeout=120)
    if run.returncode != 0:
        sys.exit("tshark failed: " + run.stderr.decode())
    rows = [line.split("\t") for line in run.stdout.decode().splitlines()]
    return {row[0]: dict(zip(FIELDS + CUT_FIELDS, row)) for row in rows}


def cut_problems(whole, cut):
    """What is wrong with one frame of the cut capture next to the whole one."""
    if whole is None or cut is None:
        return [f"named {cut and cut['fwupdate.record']!r}, on the whole trace {whole and whole['fwupdate.record']!r}"]
    problems = [f"the dissector failed (Lua error) on the {name} trace"
                for name, row in (("cut", cut), ("whole", whole)) if row["_ws.lua.error"]]
    if cut["fwupdate.record"] != whole["fwupdate.record"]:
        problems.append(f"named {cut['fwupdate.record']!r}, on the whole trace {whole['fwupdate.record']!r}")
    lost = int(cut["frame.cap_len"]) < int(cut["frame.len"]) and cut["fwupdate.record"] != "image data"
    kept = str(int(cut["frame.cap_len"]) - int(cut["usb.usbpcap_header_len"])) if lost else ""
    if cut["fwupdate.captured"] != kept or whole["fwupdate.captured"]:
        problems.append(f"marked as keeping {cut['fwupdate.captured'] or 'all'} bytes "
                        f"(whole trace: {whole['fwupdate.captured'] or 'all'}), kept {kept or 'all'}")
    for field in (f for f in FIELDS[1:] if f != "fwupdate.record"):
        if cut[field] != whole[field] and (cut[field] or not lost):
            problems.append(f"{field} is {cut[field]!r}, on the whole trace {whole[field]!r}")
    return problems


def clock_records(trace):
    """The requests whose clock record the cross-build comparison sets aside."""
    items = wire_trace.comparable(wire_trace.requests_of(wire_trace.read_trace(trace)[1]))
    return [index for index, item in enumerate(items, 1) if b"<clock record>" in (item[3],) + item[4][2:]]


def cut(sim, lua, scenario, snap, work):
    trace, short = os.path.join(work, "t.pcap"), os.path.join(work, "cut.pcap")
    record(sim, scenario, trace)
    cut_trace(trace, short, int(snap))
    whole, kept = dissected(trace, lua), dissected(short, lua)
    failed = 0
    for frame in sorted(set(whole) | set(kept), key=int):
        for problem in cut_problems(whole.get(frame), kept.get(frame)):
            print(f"frame {frame}: {problem}")
            failed = 1
    marked = [row for row in kept.values() if row["fwupdate.captured"]]
    if not marked:
        print(f"a snap length of {snap} cuts no record the dissector decodes")
        failed = 1
    if clock_records(short) != clock_records(trace):
        print(f"clock records set aside: {clock_records(short)} cut, {clock_records(trace)} whole")
        failed = 1
    if not failed:
        print(f"{len(whole)} records named alike, {len(marked)} of them marked cut off at {snap} bytes")
    return failed


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
        if command == "cut":
            return cut(argv[1], argv[2], argv[3], argv[4], work)
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
