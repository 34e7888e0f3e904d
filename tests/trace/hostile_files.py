#!/usr/bin/env python3
"""Hostile files given to the scenario runner's trace options.

  hostile_files.py SIM SCENARIO CASE

SCENARIO's trace is recorded first, then CASE is run on it (or on the
scenario itself) in a fresh folder. Every case expects the same discipline:
the runner either refuses in one printable line on standard error with exit
status 2, or runs to the end; no input is changed, and no output is left
half-written (nor a temporary file beside it).
"""
import os
import resource
import signal
import struct
import subprocess
import sys
import tempfile

RUN_TIMEOUT_S = 60
PCAP_HEADER = 24
RECORD_HEADER = 16
REPLAY_CAP = 64 * 1024 * 1024


def run(sim, args, cwd, limit_file_bytes=None):
    def limit():
        # Writing past the limit then fails with EFBIG instead of a signal.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit_file_bytes, limit_file_bytes))

    return subprocess.run([sim] + args, cwd=cwd, capture_output=True, timeout=RUN_TIMEOUT_S,
                          stdin=subprocess.DEVNULL, preexec_fn=limit if limit_file_bytes else None)


def packets(raw):
    """(offset, body) of each packet record."""
    found, at = [], PCAP_HEADER
    while at < len(raw):
        incl = struct.unpack_from("<I", raw, at + 8)[0]
        found.append((at, raw[at + RECORD_HEADER:at + RECORD_HEADER + incl]))
        at += RECORD_HEADER + incl
    return found


def set_u16(raw, packet, offset, value):
    at = packets(raw)[packet - 1][0] + RECORD_HEADER + offset
    struct.pack_into("<H", raw, at, value)


def set_u32(raw, packet, offset, value):
    at = packets(raw)[packet - 1][0] + RECORD_HEADER + offset
    struct.pack_into("<I", raw, at, value)


def drop_packet(raw, packet):
    at, body = packets(raw)[packet - 1]
    del raw[at:at + RECORD_HEADER + len(body)]


def truncate_packet(raw, packet, keep):
    """Keeps only `keep` bytes of a packet, its record saying so."""
    at, body = packets(raw)[packet - 1]
    struct.pack_into("<I", raw, at + 8, keep)
    del raw[at + RECORD_HEADER + keep:at + RECORD_HEADER + len(body)]


def clock_record_packet(raw):
    """The submission that carries the clock record: the write after the
    clock set's command block (a write, opcode 0x2A, of the clock, subcode
    0x66)."""
    after_set = False
    for number, (_, body) in enumerate(packets(raw), 1):
        header_len = struct.unpack_from("<H", body, 0)[0]
        function, info, endpoint = struct.unpack_from("<H", body, 14)[0], body[16], body[21]
        if function != 9 or info & 1 or endpoint & 0x80:
            continue
        data = body[header_len:]
        if after_set:
            return number, header_len
        after_set = len(data) == 16 and data[4] == 0x2A and data[6] == 0x66
    sys.exit("the recorded trace holds no clock record")


def edited(trace, edit):
    raw = bytearray(open(trace, "rb").read())
    edit(raw)
    return bytes(raw)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def malformed(edit, number, fragment):
    """A trace with one packet spoiled: refused by that packet's number."""
    def case(folder, trace):
        write(os.path.join(folder, "bad.pcap"), edited(trace, edit))
        return ["--replay", "bad.pcap", "--report", "rep.json"], (f"bad.pcap: packet {number}: ", fragment)
    return case


def int32_min_month(raw):
    number, header_len = clock_record_packet(raw)
    set_u32(raw, number, header_len + 16, 0x80000000)


def only_orphan_completions(raw):
    # Every submission gone: what is left are completions of nothing.
    for number in range(len(packets(raw)), 0, -1):
        body = packets(raw)[number - 1][1]
        if not body[16] & 1:
            drop_packet(raw, number)


def fifo(folder, trace):
    os.mkfifo(os.path.join(folder, "pipe.pcap"))
    return ["--replay", "pipe.pcap"], "pipe.pcap: not a regular file"


def too_big(folder, trace):
    with open(os.path.join(folder, "big.pcap"), "wb") as f:
        f.write(open(trace, "rb").read())
        f.truncate(REPLAY_CAP + 1)
    return ["--replay", "big.pcap"], "a replay capture may hold at most"


def same_file(option, target, link=False):
    def case(folder, trace):
        name = target
        if link:
            os.link(os.path.join(folder, "r.pcap"), os.path.join(folder, "other.pcap"))
            name = "other.pcap"
        return ["--replay", "r.pcap", option, name], "is also an input"
    return case


def scenario_as(option):
    def case(folder, trace):
        return ["--scenario", "s.json", option, "s.json"], "s.json: is also an input"
    return case


def report_is_trace(folder, trace):
    return ["--scenario", "s.json", "--report", "out", "--trace", "out"], "--report and --trace name the same file"


def trace_to_dev_full(folder, trace):
    return ["--scenario", "s.json", "--trace", "/dev/full", "--report", "rep.json"], \
        "/dev/full: the trace cannot be written there: not a regular file"


def divergence(folder, trace):
    # The readiness query's subcode changed: the replay stops there, and a
    # report of a run that did not finish is not left behind.
    def edit(raw):
        for number, (_, body) in enumerate(packets(raw), 1):
            header_len = struct.unpack_from("<H", body, 0)[0]
            if body[14] == 9 and not body[16] & 1 and not body[21] & 0x80 and len(body) - header_len == 16:
                raw[packets(raw)[number - 1][0] + RECORD_HEADER + header_len + 6] ^= 0xFF
                return
    write(os.path.join(folder, "bad.pcap"), edited(trace, edit))
    return ["--scenario", "s.json", "--replay", "bad.pcap", "--report", "rep.json"], "differs"


CASES = {
    "fifo": fifo,
    "too_big": too_big,
    "report_is_replay": same_file("--report", "r.pcap"),
    "trace_is_replay": same_file("--trace", "r.pcap"),
    "trace_is_replay_linked": same_file("--trace", None, link=True),
    "trace_is_scenario": scenario_as("--trace"),
    "report_is_scenario": scenario_as("--report"),
    "report_is_trace": report_is_trace,
    "trace_dev_full": trace_to_dev_full,
    "divergence_leaves_no_report": divergence,
    "header_length_zero": malformed(lambda raw: set_u16(raw, 3, 0, 0), 3, "USBPcap header length"),
    "header_length_ffff": malformed(lambda raw: set_u16(raw, 3, 0, 0xFFFF), 3, "USBPcap header length"),
    "shorter_than_header": malformed(lambda raw: truncate_packet(raw, 5, 20), 5, "shorter than the 27-byte"),
    "completion_without_submission": malformed(lambda raw: drop_packet(raw, 3), 3, "never submitted"),
    "only_orphan_completions": malformed(only_orphan_completions, 1, "never submitted"),
    "unknown_status": malformed(lambda raw: set_u32(raw, 4, 10, 0xC0001234), 4, "USBD status"),
    # Statuses that traces of ours once recorded for faults no synchronous
    # handle shows: refused by packet, never played as bytes that moved.
    "retired_status_pending": malformed(lambda raw: set_u32(raw, 4, 10, 0x40000000), 4,
                                        "none that a synchronous handle gives"),
    "retired_status_timeout": malformed(lambda raw: set_u32(raw, 6, 10, 0xC0006000), 6,
                                        "none that a synchronous handle gives"),
    "completion_moves_more": malformed(lambda raw: set_u32(raw, 6, 23, 33), 6, "more bytes than"),
    "short_descriptor": malformed(lambda raw: truncate_packet(raw, 2, 28 + 10), 2, "shorter than 18"),
    "record_cut_off": malformed(lambda raw: raw.extend(b"\0" * 10), 49, "cut off"),
}

# Cases that run to the end (or diverge) instead of being refused.
PLAYED = {"int32_min_month": int32_min_month}


def check_files_untouched(folder, before):
    problems = []
    for name, data in before.items():
        path = os.path.join(folder, name)
        if not os.path.exists(path) or open(path, "rb").read() != data:
            problems.append(f"input {name} was changed")
    for name in os.listdir(folder):
        if ".partial-" in name:
            problems.append(f"a temporary file was left behind: {name}")
    return problems


def check_refusal(result, fragment, folder):
    problems = []
    lines = result.stderr.decode("utf-8", "replace").splitlines()
    if result.returncode != 2:
        problems.append(f"exit status {result.returncode}, expected 2")
    parts = fragment if isinstance(fragment, tuple) else (fragment,)
    if len(lines) != 1 or not all(part in lines[0] for part in parts) or not lines[0].isprintable():
        problems.append(f"standard error is not one printable line with {fragment!r}: {lines[:3]!r}")
    if result.returncode == 2 and "differs" not in parts and result.stdout:
        problems.append("a refusal printed on standard output")
    if os.path.exists(os.path.join(folder, "rep.json")):
        problems.append("a report was left behind")
    return problems


def check_played(result):
    lines = result.stderr.decode("utf-8", "replace").splitlines()
    if result.returncode < 0 or result.returncode > 3 or "runtime error" in result.stderr.decode("utf-8", "replace"):
        return [f"the replay crashed (status {result.returncode}): {lines[:3]!r}"]
    if result.returncode == 2 and len(lines) != 1:
        return [f"a replay that stopped said more than one line: {lines[:3]!r}"]
    return []


def main(argv):
    if len(argv) != 4 or (argv[3] not in CASES and argv[3] not in PLAYED and argv[3] != "trace_cut_short"):
        sys.exit(__doc__)
    sim, scenario, case = os.path.abspath(argv[1]), argv[2], argv[3]
    with tempfile.TemporaryDirectory() as folder:
        write(os.path.join(folder, "s.json"), open(scenario, "rb").read())
        recorded = run(sim, ["--scenario", "s.json", "--trace", "r.pcap"], folder)
        if recorded.returncode != 0:
            sys.exit(f"recording failed: {recorded.stderr.decode()}")
        trace = os.path.join(folder, "r.pcap")
        if case == "trace_cut_short":
            # The file system takes only part of the trace: no trace is put
            # in place, the report still is, and the run says so.
            before = {n: open(os.path.join(folder, n), "rb").read() for n in ("s.json", "r.pcap")}
            result = run(sim, ["--scenario", "s.json", "--trace", "t.pcap", "--report", "rep.json"], folder,
                         limit_file_bytes=2048)
            problems = check_files_untouched(folder, before)
            lines = result.stderr.decode("utf-8", "replace").splitlines()
            if result.returncode != 2 or lines != ["fwupdate-sim: t.pcap: the trace could not be written"]:
                problems.append(f"status {result.returncode}, standard error {lines!r}")
            if os.path.exists(os.path.join(folder, "t.pcap")):
                problems.append("a partial trace was left in place")
        elif case in PLAYED:
            write(os.path.join(folder, "bad.pcap"), edited(trace, PLAYED[case]))
            before = {n: open(os.path.join(folder, n), "rb").read() for n in os.listdir(folder)}
            result = run(sim, ["--scenario", "s.json", "--replay", "bad.pcap"], folder)
            problems = check_files_untouched(folder, before) + check_played(result)
        else:
            args, fragment = CASES[case](folder, trace)
            before = {n: open(os.path.join(folder, n), "rb").read() for n in os.listdir(folder)
                      if os.path.isfile(os.path.join(folder, n))}
            result = run(sim, args, folder)
            problems = check_files_untouched(folder, before) + check_refusal(result, fragment, folder)
    for problem in problems:
        print(f"{case}: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
