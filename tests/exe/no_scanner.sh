#!/usr/bin/env bash
# fwupdate.exe under Wine, where no scanner is attached: the exact console
# bytes in English and in Traditional Chinese, the echo of a -b value, the
# 20-second pause before the end and exit code 0.
#   bash no_scanner.sh FWUPDATE_EXE SOURCE_DIR
set -uo pipefail
exe=$1
src=$2
work=$(dirname "$exe")/exe-no-scanner
mkdir -p "$work"
# A prefix of these runs' own; the three runs share it.
export FWU_WINEPREFIX=${FWU_WINEPREFIX:-$(dirname "$exe")/exe-wineprefix}

# stdout is in text mode: every line feed reaches the pipe as CR LF. Each
# catalogue text is printed with one line end more than it holds.
english_tail='Device not found!!\r\nEnd program...\r\n\r\nUpdate Failed: After 20 second will close windows\r\n\r\n'
printf "0\r\n$english_tail" >"$work/english.expected"
printf -- "-12\r\n$english_tail" >"$work/minus12.expected"
# The Chinese texts as code page 950 bytes, typed here in UTF-8.
printf '0\r\n設備未找到!!\r\n結束 程序...\r\n\r\n更新失敗: 20 秒後即將關閉視窗!!\r\n\r\n' |
  iconv -f UTF-8 -t CP950 >"$work/chinese.expected" || { echo "iconv cannot make CP950"; exit 1; }

# One run: NAME, then the environment assignments and the arguments.
run() {
  local name=$1
  shift
  local start end
  start=$(date +%s.%N)
  env "$@" >"$work/$name.out" 2>"$work/$name.err"
  echo $? >"$work/$name.rc"
  end=$(date +%s.%N)
  echo "$start $end" | awk '{printf "%.1f\n", $2 - $1}' >"$work/$name.seconds"
}

# Wine prepares the prefix once before the parallel runs start, so that its
# set-up time does not count as the program's pause.
"$src/tools/wine-run" cmd /c exit >/dev/null 2>&1

run english LC_ALL=C "$src/tools/wine-run" "$exe" &
run chinese LC_ALL=zh_TW.UTF-8 "$src/tools/wine-run" "$exe" &
run minus12 LC_ALL=C "$src/tools/wine-run" "$exe" -b -12 &
wait

. "$src/tests/exe/judge_runs.sh"
own_expected() { echo "$work/$1.expected"; }
judge_runs own_expected english chinese minus12
