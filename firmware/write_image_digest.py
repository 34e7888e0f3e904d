#!/usr/bin/env python3
"""Writes the SHA-256 of the firmware image as 32 raw bytes.

The executable carries them beside the image (resource 122 in fwupdate.exe,
the second embedded blob in the simulator), and the updater compares them
with a digest of its own over the image before it changes anything, so a
copy of the executable that arrived cut or altered refuses to burn.
"""
import hashlib
import os
import sys


def main() -> int:
    if len(sys.argv) != 3:
        print("usage: write_image_digest.py IMAGE OUTPUT", file=sys.stderr)
        return 2
    image, out = sys.argv[1], sys.argv[2]
    digest = hashlib.sha256()
    with open(image, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    tmp = out + ".tmp"
    with open(tmp, "wb") as f:
        f.write(digest.digest())
    os.replace(tmp, out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
