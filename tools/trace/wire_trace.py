#!/usr/bin/env python3
"""Reads, compares and rewrites the updater's wire traces (pcap, USBPcap).

  wire_trace.py show TRACE                  one line per request
  wire_trace.py compare EXPECTED ACTUAL     same requests, order and bytes?
  wire_trace.py edit TRACE OUT INDEX OFFSET     flips one byte of request INDEX's written data
  wire_trace.py split TRACE OUT PIECE IMAGE     cuts every write longer than PIECE into PIECE-byte
                                            packets, as a USB stack does; IMAGE gives the bytes of
                                            each piece that the snap length kept

Every request is two packets with one IRP id: the submission and its
completion. `compare` sets aside what only the clock fixes: time stamps and
the clock record's time fields (the record written after a clock set block,
and the one read after a clock read block). Exit status: 0 same, 1
different (the first difference on standard output), 2 unreadable.
"""
import struct
import sys

LINKTYPE_USBPCAP = 249
FUNCTION_BULK = 0x0009
FUNCTION_DESCRIPTOR = 0x000B
SNAP_DATA = 1024
# A request the scanner never answered is completed as cancelled by the
# driver at the handle's time-out (USBD_STATUS_CANCELED), nothing moved.
STATUS_NAMES = {0x00000000: "success", 0xC0000004: "failed", 0xC0007000: "device gone", 0xC0000E00: "not supported",
                0xC0010000: "cancelled (time-out)"}


class TraceError(Exception):
    pass


class Packet:
    def __init__(self, ts_sec, ts_usec, orig_len, header, data):
        self.ts_sec, self.ts_usec, self.orig_len = ts_sec, ts_usec, orig_len
        self.header = bytearray(header)
        self.data = bytearray(data)
        (self.header_len, self.irp, self.status, self.function, self.info, self.bus, self.device,
         self.endpoint, self.transfer, self.data_length) = struct.unpack_from("<HQIHBHHBBI", header)

    def encode(self):
        struct.pack_into("<I", self.header, 23, self.data_length)
        struct.pack_into("<Q", self.header, 2, self.irp)
        body = bytes(self.header) + bytes(self.data)
        return struct.pack("<IIII", self.ts_sec, self.ts_usec, len(body), self.orig_len) + body


class Request:
    """A submission and its completion."""

    def __init__(self, submit):
        self.submit = submit
        self.complete = None

    @property
    def kind(self):
        if self.submit.function == FUNCTION_DESCRIPTOR:
            return "descriptor"
        return "read" if self.submit.endpoint & 0x80 else "write"

    def outcome(self):
        if self.complete is None:
            return ("no completion",)
        c = self.complete
        return (STATUS_NAMES.get(c.status, "0x%08x" % c.status), c.data_length,
                bytes(c.data) if self.kind != "write" else b"")


def read_trace(path):
    with open(path, "rb") as f:
        raw = f.read()
    if len(raw) < 24 or struct.unpack_from("<I", raw, 0)[0] != 0xA1B2C3D4:
        raise TraceError(f"{path}: not a little-endian microsecond pcap file")
    header = raw[:24]
    if struct.unpack_from("<I", raw, 20)[0] != LINKTYPE_USBPCAP:
        raise TraceError(f"{path}: not a USBPcap capture")
    packets = []
    at = 24
    while at < len(raw):
        if len(raw) - at < 16:
            raise TraceError(f"{path}: the last packet is cut off")
        ts_sec, ts_usec, incl, orig = struct.unpack_from("<IIII", raw, at)
        body = raw[at + 16:at + 16 + incl]
        if len(body) != incl:
            raise TraceError(f"{path}: the last packet is cut off")
        at += 16 + incl
        header_len = struct.unpack_from("<H", body, 0)[0]
        packets.append(Packet(ts_sec, ts_usec, orig, body[:header_len], body[header_len:]))
    return header, packets


def requests_of(packets):
    requests, waiting = [], {}
    for p in packets:
        if p.function not in (FUNCTION_BULK, FUNCTION_DESCRIPTOR):
            continue
        if not p.info & 1:
            waiting[p.irp] = len(requests)
            requests.append(Request(p))
        elif p.irp in waiting:
            requests[waiting.pop(p.irp)].complete = p
    return requests


def write_trace(path, header, packets):
    with open(path, "wb") as f:
        f.write(header)
        for p in packets:
            f.write(p.encode())


def is_block(submit, opcode, subcode):
    """Whether a write is that command block: 16 bytes by the length the
    packet reports, of which a capture with a small snap length may have
    kept fewer; the marker, opcode and subcode must be among those kept."""
    data = submit.data
    return (submit.data_length == 16 and len(data) >= 7 and data[:4] == b"\x20\x02\x00\x00" and data[4] == opcode
            and data[6] == subcode)


def comparable(requests):
    """Each request as the tuple that must match across builds: kind,
    device address, size, written bytes, outcome; a clock record's time
    fields (all nine) are set aside: the record written after a clock set
    block, and the one read after a clock read block's 32-byte reply."""
    result = []
    record_write = False   # the next write is a clock record
    reply_left = 0         # reply bytes still to come before a clock record
    record_left = 0        # clock record bytes still to come in
    for r in requests:
        s = r.submit
        written = bytes(s.data) if r.kind == "write" else b""
        outcome = r.outcome()
        if r.kind == "write":
            if record_write:
                written = b"<clock record>"
                record_write = False
            else:
                record_write = is_block(s, 0x2A, 0x66)
                reply_left = 32 if is_block(s, 0x28, 0x66) else 0
                record_left = 0
        elif r.kind == "read" and len(outcome) == 3 and (reply_left or record_left):
            count = outcome[1]
            if reply_left:
                reply_left = max(0, reply_left - count)
                record_left = 36 if reply_left == 0 else 0
            else:
                outcome = outcome[:2] + (b"<clock record>",)
                record_left = max(0, record_left - count)
        result.append((r.kind, s.device, s.data_length, written, outcome))
    return result


def describe(index, item):
    kind, device, size, written, outcome = item
    text = f"request {index}: {kind} of {size} bytes, device {device}"
    if written:
        text += ", sent " + (written.decode() if written.startswith(b"<") else written[:48].hex(" "))
    text += ", outcome " + ", ".join((o.decode() if o.startswith(b"<") else o.hex(" ")) if isinstance(o, bytes)
                                     else str(o) for o in outcome)
    return text


def compare(expected_path, actual_path, out=sys.stdout):
    expected = comparable(requests_of(read_trace(expected_path)[1]))
    actual = comparable(requests_of(read_trace(actual_path)[1]))
    for index, (e, a) in enumerate(zip(expected, actual), 1):
        if e != a:
            print(f"traces differ at request {index}:", file=out)
            print("  expected " + describe(index, e), file=out)
            print("  actual   " + describe(index, a), file=out)
            return False
    if len(expected) != len(actual):
        print(f"traces differ in length: {len(expected)} requests expected, {len(actual)} recorded", file=out)
        shorter = min(len(expected), len(actual))
        longer = expected if len(expected) > shorter else actual
        print("  first extra " + describe(shorter + 1, longer[shorter]), file=out)
        return False
    print(f"traces agree: {len(expected)} requests", file=out)
    return True


def edit(path, out_path, index, offset):
    header, packets = read_trace(path)
    requests = requests_of(packets)
    submit = requests[index - 1].submit
    if offset >= len(submit.data):
        raise TraceError(f"request {index} keeps only {len(submit.data)} written bytes")
    submit.data[offset] ^= 0xFF
    write_trace(out_path, header, packets)


def split(path, out_path, piece, image_path):
    with open(image_path, "rb") as f:
        image = f.read()
    header, packets = read_trace(path)
    requests = {id(r.submit): r for r in requests_of(packets)}
    result, next_irp = [], max((p.irp for p in packets), default=0) + 1
    for p in packets:
        r = requests.get(id(p))
        if r is None or r.kind != "write" or p.data_length <= piece or r.complete is None:
            if r is None and p.info & 1 and any(x.complete is p for x in requests.values()
                                                if x.kind == "write" and x.submit.data_length > piece):
                continue  # the split write's completion: replaced below
            result.append(p)
            continue
        if bytes(p.data) != image[:len(p.data)]:
            raise TraceError("the long write is not the image given")
        offset = 0
        while offset < p.data_length:
            size = min(piece, p.data_length - offset)
            irp = p.irp if offset == 0 else next_irp
            if offset:
                next_irp += 1
            submit = Packet(p.ts_sec, p.ts_usec, p.header_len + size, p.header, image[offset:offset + min(size, SNAP_DATA)])
            submit.irp, submit.data_length = irp, size
            done = Packet(r.complete.ts_sec, r.complete.ts_usec, r.complete.header_len + size, r.complete.header, b"")
            done.irp, done.data_length = irp, size
            result += [submit, done]
            offset += size
    write_trace(out_path, header, result)


def show(path):
    for index, r in enumerate(requests_of(read_trace(path)[1]), 1):
        item = comparable([r])[0]
        t = r.submit.ts_sec + r.submit.ts_usec / 1e6
        print(f"{t:12.3f} " + describe(index, item))


def main(argv):
    try:
        if argv[:1] == ["show"] and len(argv) == 2:
            show(argv[1])
            return 0
        if argv[:1] == ["compare"] and len(argv) == 3:
            return 0 if compare(argv[1], argv[2]) else 1
        if argv[:1] == ["edit"] and len(argv) == 5:
            edit(argv[1], argv[2], int(argv[3]), int(argv[4]))
            return 0
        if argv[:1] == ["split"] and len(argv) == 5:
            split(argv[1], argv[2], int(argv[3]), argv[4])
            return 0
    except (OSError, TraceError, IndexError, struct.error) as error:
        print(f"wire_trace.py: {error}", file=sys.stderr)
        return 2
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
