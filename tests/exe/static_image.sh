#!/usr/bin/env bash
# fwupdate.exe as it ships: hardened and stripped; it imports no MinGW run-time DLL (it must run on
# a Windows that has none) and neither user32.dll nor gdi32.dll, and it carries its manifest, which asks for the
# administrator level and declares DPI awareness.
#   bash static_image.sh FWUPDATE_EXE SOURCE_DIR
set -uo pipefail
exe=$1
objdump=x86_64-w64-mingw32-objdump
work=$(dirname "$exe")/exe-static-image
mkdir -p "$work"
failed=0

"$objdump" -p "$exe" >"$work/headers.txt" || { echo "FAIL: $objdump cannot read $exe"; exit 1; }

grep -i 'DLL Name:' "$work/headers.txt" | awk '{print $3}' >"$work/imports.txt"
echo "imports: $(tr '\n' ' ' <"$work/imports.txt")"
if ! grep -qix 'kernel32.dll' "$work/imports.txt"; then
  echo "FAIL: no import table found (KERNEL32.dll missing)"
  failed=1
fi
if grep -Ei '^(libstdc\+\+|libgcc|libwinpthread)' "$work/imports.txt"; then
  echo "FAIL: a MinGW run-time DLL is imported"
  failed=1
fi
# Windows calls no console control handler for log-off and shutdown in a
# process that has loaded user32.dll or gdi32.dll: the handler that gives the
# imaging service back would never run.
if grep -Eix '(user32|gdi32)\.dll' "$work/imports.txt"; then
  echo "FAIL: user32.dll or gdi32.dll is imported"
  failed=1
fi

# Hardening as Microsoft's binary checks read it: high-entropy ASLR (0x0020),
# dynamic base (0x0040), DEP (0x0100) and terminal-server awareness (0x8000);
# no time stamp (the build is reproducible) and no symbol table (stripped).
flags=$(awk '/^DllCharacteristics/ { print $2 }' "$work/headers.txt")
for bit in 0020 0040 0100 8000; do
  if (( (0x$flags & 0x$bit) != 0x$bit )); then
    echo "FAIL: DllCharacteristics $flags lacks 0x$bit"
    failed=1
  fi
done
if ! grep -q '^Time/Date.*1970' "$work/headers.txt"; then
  echo "FAIL: the header carries a time stamp: $(grep '^Time/Date' "$work/headers.txt")"
  failed=1
fi
symbols=$(x86_64-w64-mingw32-nm "$exe" 2>&1 | grep -c -v 'no symbols')
if [ "$symbols" != 0 ]; then
  echo "FAIL: $symbols symbols left in the executable"
  failed=1
fi
echo "DllCharacteristics $flags, symbols $symbols"

# The manifest: resource type 24, name 1. Its leaf gives the address and
# size of the bytes inside the image.
leaf=$(awk '
  /Entry: ID: 0x000018,/ { intype = 1; next }
  /^[0-9a-f]+   Entry:/  { intype = 0 }
  intype && /Leaf: Addr:/ { gsub(",", ""); print $4, $6; exit }
' "$work/headers.txt")
if [ -z "$leaf" ]; then
  echo "FAIL: no manifest resource (type 24)"
  exit 1
fi
read -r rva size <<<"$leaf"
if ! awk '/Entry: ID: 0x000018,/ { getline; getline; if ($0 ~ /Entry: ID: 0x000001,/) found = 1 } END { exit !found }' \
  "$work/headers.txt"; then
  echo "FAIL: the manifest resource is not named 1"
  failed=1
fi
base=$(awk '/^ImageBase/ { print $2 }' "$work/headers.txt")
# Section .rsrc: its address and its offset in the file.
read -r vma fileoff < <("$objdump" -h "$exe" | awk '$2 == ".rsrc" { print $4, $6 }')
offset=$(( 0x$fileoff + rva - (0x$vma - 0x$base) ))
dd if="$exe" of="$work/manifest.xml" bs=1 skip="$offset" count=$((size)) status=none
if ! grep -q 'requestedExecutionLevel level="requireAdministrator"' "$work/manifest.xml"; then
  echo "FAIL: the manifest does not ask for the administrator level"
  failed=1
fi
if ! grep -Eq '<dpiAware[^>]*>true</dpiAware>' "$work/manifest.xml"; then
  echo "FAIL: the manifest does not declare DPI awareness"
  failed=1
fi
# Every Windows version from Vista on, so none runs the program with
# Vista's behaviour.
for os in e2011457-1546-43c5-a5fe-008deee3d3f0 35138b9a-5d96-4fbd-8e2d-a2440225f93a \
  4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
  if ! grep -q "<supportedOS Id=\"{$os}\"/>" "$work/manifest.xml"; then
    echo "FAIL: the manifest does not name supportedOS {$os}"
    failed=1
  fi
done
[ $failed = 0 ] && echo "manifest: $((size)) bytes, administrator level, DPI awareness, five supported Windows versions"
exit $failed
