#!/usr/bin/env bash
# Copies of fwupdate.exe altered after the build, run under Wine with no
# scanner attached: one byte of the embedded image inverted, or one byte of
# the SHA-256 stored beside it. Each prints the damaged-copy line and
# "Update Failed" and nothing else: no "Device not found!!", so the scanner
# search never ran. Exit code 0 after the 20-second pause, as on every run.
#   bash altered_image.sh FWUPDATE_EXE SOURCE_DIR IMAGE_FILE DIGEST_FILE
set -uo pipefail
exe=$1
src=$2
image=$3
digest=$4
work=$(dirname "$exe")/exe-altered-image
mkdir -p "$work"
export FWU_WINEPREFIX=${FWU_WINEPREFIX:-$(dirname "$exe")/exe-wineprefix}

# Inverts one byte of the executable: the byte `skip` bytes into the first
# place where the first `length` bytes of `needle` occur, which must be the
# only such place.
alter() {  # OUT NEEDLE LENGTH SKIP
  python3 - "$exe" "$1" "$2" "$3" "$4" <<'PY'
import sys
exe, out, needle_file, length, skip = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
data = bytearray(open(exe, "rb").read())
needle = open(needle_file, "rb").read()[:length]
at = data.find(needle)
if at < 0 or data.find(needle, at + 1) >= 0:
    sys.exit(f"the bytes of {needle_file} are not in {exe} exactly once")
data[at + skip] ^= 0xFF
open(out, "wb").write(data)
PY
}
alter "$work/image-byte.exe" "$image" 4096 1000 || exit 1
alter "$work/digest-byte.exe" "$digest" 32 31 || exit 1

printf '0\r\nThis copy of fwupdate.exe is damaged or incomplete (its firmware does not match its check value). Get a fresh copy of fwupdate.exe and run that one. Nothing on this PC or the scanner was changed.\r\n\r\nUpdate Failed: After 20 second will close windows\r\n\r\n' >"$work/expected"

run() {  # NAME EXE
  local start end
  start=$(date +%s.%N)
  LC_ALL=C "$src/tools/wine-run" "$2" >"$work/$1.out" 2>"$work/$1.err"
  echo $? >"$work/$1.rc"
  end=$(date +%s.%N)
  echo "$start $end" | awk '{printf "%.1f\n", $2 - $1}' >"$work/$1.seconds"
}

"$src/tools/wine-run" cmd /c exit >/dev/null 2>&1
run image-byte "$work/image-byte.exe" &
run digest-byte "$work/digest-byte.exe" &
wait

. "$src/tests/exe/judge_runs.sh"
shared_expected() { echo "$work/expected"; }
judge_runs shared_expected image-byte digest-byte
