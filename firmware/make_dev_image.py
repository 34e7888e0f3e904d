#!/usr/bin/env python3
"""Writes the deterministic development firmware image.

The shipped image is 13,633,428 bytes; the development image has exactly
that size so that every build and test moves a realistic amount of data.
Its bytes are SHA-256 in counter mode over a fixed seed: the same on every
machine, and not compressible to nothing.
"""
import hashlib
import os
import sys

SIZE = 13_633_428
SEED = b"development firmware image v1"


def main() -> int:
    # A smaller image serves the fuzzer, which runs the updater thousands of
    # times a minute.
    if len(sys.argv) not in (2, 3):
        print("usage: make_dev_image.py OUTPUT [SIZE]", file=sys.stderr)
        return 2
    out = sys.argv[1]
    size = int(sys.argv[2]) if len(sys.argv) == 3 else SIZE
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    chunks = []
    produced = 0
    counter = 0
    while produced < size:
        block = hashlib.sha256(SEED + counter.to_bytes(8, "little")).digest()
        chunks.append(block)
        produced += len(block)
        counter += 1
    data = b"".join(chunks)[:size]
    tmp = out + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
