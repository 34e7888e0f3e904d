#!/usr/bin/env bash
# What a user reads on the console: fwupdate.exe, without a scanner, on a
# Wine console whose output code page is 437, 65001 or 950, in English and
# in Traditional Chinese. The screen is read back cell by cell by
# console_screen.exe and must show the messages' characters at every code
# page, also where the console's code page cannot show Big5 bytes. (The
# bytes written to a pipe are held by no_scanner.sh.)
#   bash console_text.sh FWUPDATE_EXE CONSOLE_SCREEN_EXE SOURCE_DIR
set -uo pipefail
exe=$1
launcher=$2
src=$3
work=$(dirname "$exe")/exe-console-text
mkdir -p "$work"
rm -f "$work"/*.screen "$work"/*.log
# A prefix of these runs' own; the six runs share it.
export FWU_WINEPREFIX=${FWU_WINEPREFIX:-$(dirname "$exe")/exe-wineprefix}

# The screen as the launcher writes it: the rows above the cursor, then the
# program's exit code. Each catalogue text leaves an empty row behind it.
printf '0\nDevice not found!!\nEnd program...\n\nUpdate Failed: After 20 second will close windows\n\nexit 0\n' \
  >"$work/english.expected"
printf '0\n設備未找到!!\n結束 程序...\n\n更新失敗: 20 秒後即將關閉視窗!!\n\nexit 0\n' >"$work/chinese.expected"

# Wine prepares the prefix once before the parallel runs start.
"$src/tools/wine-run" cmd /c exit >/dev/null 2>&1

# Wine has a console with a screen buffer only for a program started on a
# terminal, so each run gets a terminal of its own from script(1).
run() {
  local name=$1 locale=$2 codepage=$3
  local command
  command=$(printf '%q ' env "LC_ALL=$locale" "$src/tools/wine-run" "$launcher" "$codepage" \
    "Z:$work/$name.screen" 120000 "Z:$exe")
  script -q -e -c "$command" /dev/null </dev/null >"$work/$name.log" 2>&1
}

cases="english:C:437 english:C:65001 english:C:950 chinese:zh_TW.UTF-8:437 chinese:zh_TW.UTF-8:65001 chinese:zh_TW.UTF-8:950"
for entry in $cases; do
  IFS=: read -r language locale codepage <<<"$entry"
  run "$language-$codepage" "$locale" "$codepage" &
done
wait

failed=0
for entry in $cases; do
  IFS=: read -r language locale codepage <<<"$entry"
  name=$language-$codepage
  if [ ! -f "$work/$name.screen" ]; then
    echo "FAIL $name: no screen was read back"
    tr -d '\r' <"$work/$name.log" | head -5
    failed=1
  elif ! cmp -s "$work/$language.expected" "$work/$name.screen"; then
    echo "FAIL $name: the screen differs from the messages"
    diff "$work/$language.expected" "$work/$name.screen"
    failed=1
  else
    echo "$name: the screen shows the messages"
  fi
done
exit $failed
