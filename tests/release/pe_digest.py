#!/usr/bin/env python3
"""Prints the Authenticode SHA-256 digest of a PE file, computed here from
the file's own bytes so that it can be held against what osslsigncode says
it signed: every byte of the file except the header checksum, the
certificate-table entry and the certificate table itself. An unsigned file
is counted with the zero padding to a multiple of 8 bytes that signing
appends before the table.
    pe_digest.py FILE
"""
import hashlib
import struct
import sys


def authenticode_digest(data: bytes) -> str:
    if data[:2] != b"MZ":
        raise ValueError("no MZ header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    optional = pe + 4 + 20
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic == 0x20B:      # PE32+
        directories = optional + 112
    elif magic == 0x10B:    # PE32
        directories = optional + 96
    else:
        raise ValueError("unknown optional header magic 0x%x" % magic)
    checksum = optional + 64
    security = directories + 4 * 8
    table_offset, table_size = struct.unpack_from("<II", data, security)
    if table_size:
        if table_offset + table_size > len(data):
            raise ValueError("certificate table runs past the end of the file")
        body = data[:table_offset] + data[table_offset + table_size:]
    else:
        body = data + b"\0" * (-len(data) % 8)
    digest = hashlib.sha256()
    digest.update(body[:checksum])
    digest.update(body[checksum + 4:security])
    digest.update(body[security + 8:])
    return digest.hexdigest().upper()


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    with open(sys.argv[1], "rb") as f:
        print(authenticode_digest(f.read()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
