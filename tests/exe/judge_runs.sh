# Sourced by the exe tests: judges each finished run in $work by the files
# its runner left (NAME.out, NAME.rc, NAME.seconds, NAME.err) against the
# console bytes in the file the second argument names: exit code 0 after
# the 20-second pause, as every run without a switch ends.
#   judge_runs EXPECTED_FOR NAME...   (EXPECTED_FOR: a command printing a
#                                      run's expected file from its name)
judge_runs() {
  local expected_for=$1
  shift
  local failed=0 name rc seconds expected
  for name in "$@"; do
    rc=$(cat "$work/$name.rc")
    seconds=$(cat "$work/$name.seconds")
    expected=$("$expected_for" "$name")
    if ! cmp -s "$expected" "$work/$name.out"; then
      echo "FAIL $name: console bytes differ"
      echo "expected:"; od -An -c "$expected"
      echo "got:"; od -An -c "$work/$name.out"
      echo "stderr:"; head -20 "$work/$name.err"
      failed=1
    fi
    if [ "$rc" != 0 ]; then
      echo "FAIL $name: exit code $rc, expected 0"
      failed=1
    fi
    if ! awk -v s="$seconds" 'BEGIN { exit !(s >= 19) }'; then
      echo "FAIL $name: ended after $seconds s, expected the 20-second pause"
      failed=1
    fi
    echo "$name: exit code $rc after $seconds s"
  done
  return $failed
}
