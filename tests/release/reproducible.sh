#!/usr/bin/env bash
# The same sources and image built in another folder give a byte-identical
# fwupdate.exe: no time stamp and no build path in the file. A third party
# checks a release the same way: build the tagged commit with the released
# image and compare the SHA-256.
#   bash reproducible.sh FWUPDATE_EXE SOURCE_DIR WORK_DIR IMAGE
set -uo pipefail
exe=$1
src=$2
work=$3
image=$4
rm -rf "$work"
mkdir -p "$work"
# A folder of another name and depth than the first build's.
again="$work/elsewhere/build-again"
cmake -S "$src" -B "$again" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DFWU_TESTS=OFF -DFIRMWARE_IMAGE="$image" >"$work/configure.log" 2>&1 ||
  { echo "FAIL: the second configure failed"; cat "$work/configure.log"; exit 1; }
cmake --build "$again" --target fwupdate >"$work/build.log" 2>&1 ||
  { echo "FAIL: the second build failed"; tail -20 "$work/build.log"; exit 1; }
first=$(sha256sum <"$exe" | cut -d' ' -f1)
second=$(sha256sum <"$again/fwupdate.exe" | cut -d' ' -f1)
echo "first build:  $first  $exe"
echo "second build: $second  $again/fwupdate.exe"
if [ "$first" != "$second" ]; then
  echo "FAIL: the two builds differ:"
  cmp -l "$exe" "$again/fwupdate.exe" | head -20
  exit 1
fi
echo "identical"
