#!/usr/bin/env python3
"""What the executables say about themselves, checked against the release's
version and the firmware image file, whose size and SHA-256 are computed
here from the file itself.

    identity.py exe  VERSION IMAGE FWUPDATE_EXE   the version resource, read
                                                  back with wrestool
    identity.py sim  VERSION IMAGE FWUPDATE_SIM   fwupdate-sim --version
"""
import hashlib
import os
import struct
import subprocess
import sys

PRODUCT_NAME = "fwupdate"
FILE_DESCRIPTION = "Firmware updater for the Orvane document scanner"
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD


def image_identity(image):
    digest = hashlib.sha256()
    with open(image, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return "%d bytes, SHA-256 %s" % (os.path.getsize(image), digest.hexdigest())


def read_node(data, start):
    """One node of a VS_VERSIONINFO tree: (key, value, children, end)."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, start)
    end = start + length
    if length < 6 or end > len(data):
        raise ValueError("node at %d: length %d runs past the resource" % (start, length))
    key_end = start + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
        if key_end >= end:
            raise ValueError("node at %d: key without terminator" % start)
    key = data[start + 6:key_end].decode("utf-16-le")
    position = (key_end + 2 + 3) & ~3
    # Text values count characters, binary values bytes.
    size = value_length * 2 if value_type == 1 else value_length
    raw = data[position:position + size]
    if value_type == 1:
        if size and not raw.endswith(b"\0\0"):
            raise ValueError("%s: text value without terminator" % key)
        value = raw.decode("utf-16-le").rstrip("\0")
    else:
        value = raw
    position = (position + size + 3) & ~3
    children = []
    while position < end:
        child = read_node(data, position)
        children.append(child)
        position = (child[3] + 3) & ~3
    return key, value, children, end


def read_version_resource(exe):
    data = subprocess.run(["wrestool", "-x", "--raw", "--type=16", "--name=1", exe],
                          stdout=subprocess.PIPE, check=True).stdout
    if not data:
        raise ValueError("no version resource (type 16, name 1) in %s" % exe)
    key, fixed, children, _ = read_node(data, 0)
    if key != "VS_VERSION_INFO":
        raise ValueError("root key is %r" % key)
    strings, translations = {}, []
    for child_key, _, blocks, _ in children:
        for block_key, block_value, entries, _ in blocks:
            if child_key == "StringFileInfo":
                for entry_key, entry_value, _, _ in entries:
                    strings[(block_key, entry_key)] = entry_value
            elif child_key == "VarFileInfo" and block_key == "Translation":
                translations += struct.unpack("<%dH" % (len(block_value) // 2), block_value)
    return fixed, strings, translations


def check_exe(version, image, exe):
    failures = []
    fixed, strings, translations = read_version_resource(exe)
    major, minor, patch = (int(part) for part in version.split("."))
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    if signature != VS_FIXEDFILEINFO_SIGNATURE:
        failures.append("fixed file info signature 0x%08x" % signature)
    # Explorer shows these numbers as "File version" and "Product version".
    numbers = ((major << 16) | minor, patch << 16)
    if (file_ms, file_ls) != numbers or (product_ms, product_ls) != numbers:
        failures.append("fixed versions %08x.%08x / %08x.%08x, expected %08x.%08x"
                        % (file_ms, file_ls, product_ms, product_ls, *numbers))
    # U.S. English, Unicode: the block the strings live in.
    if translations != [0x0409, 1200]:
        failures.append("translation %r, expected [0x409, 1200]" % translations)
    expected = {
        "FileVersion": version,
        "ProductVersion": version,
        "ProductName": PRODUCT_NAME,
        "FileDescription": FILE_DESCRIPTION,
        "OriginalFilename": "fwupdate.exe",
        "FirmwareImage": image_identity(image),
    }
    for name, value in expected.items():
        got = strings.get(("040904B0", name))
        print("%-17s %r" % (name, got))
        if got != value:
            failures.append("%s is %r, expected %r" % (name, got, value))
    return failures


def check_sim(version, image, sim):
    expected = ("fwupdate-sim %s\nProductName: %s\nProductVersion: %s\nFirmwareImage: %s\n"
                % (version, PRODUCT_NAME, version, image_identity(image)))
    run = subprocess.run([sim, "--version"], capture_output=True, timeout=60)
    print(run.stdout.decode(errors="replace"), end="")
    failures = []
    if run.returncode != 0:
        failures.append("exit status %d" % run.returncode)
    if run.stdout != expected.encode():
        failures.append("standard output differs; expected:\n" + expected)
    if run.stderr:
        failures.append("standard error: %r" % run.stderr)
    return failures


def main():
    if len(sys.argv) != 5 or sys.argv[1] not in ("exe", "sim"):
        print(__doc__, file=sys.stderr)
        return 2
    mode, version, image, program = sys.argv[1:]
    failures = (check_exe if mode == "exe" else check_sim)(version, image, program)
    for failure in failures:
        print("FAIL " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
