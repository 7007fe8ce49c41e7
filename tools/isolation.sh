#!/usr/bin/env bash
# Runs every end-to-end and soak test on its own, then each of their suites in a shuffled order:
# a test that passes only after the tests before it depends on them.
#
#   tools/isolation.sh [preset]     (default windows-x64; the build must exist)
set -u
cd "$(dirname "$0")/.."
root="$PWD"
preset="${1:-windows-x64}"
build="$root/build/$preset"
run() { "$root/tools/wine-run" --state "$build/wine" "$@"; }
run --start
run "$build/testhid/testhid.exe" install >/dev/null
failed=()
for exe in e2e_tests soak_tests; do
  binary="$build/bin/$exe.exe"
  [ -f "$binary" ] || continue
  list="$(mktemp)"
  (cd "$build/bin" && run "$binary" --gtest_list_tests >"$list" 2>/dev/null)
  suite=""
  while IFS= read -r line; do
    line="${line%%#*}"; line="${line%"${line##*[![:space:]]}"}"
    [ -z "$line" ] && continue
    # "Suite." heads its tests, each indented by two blanks; anything else is the program talking.
    if [[ "$line" =~ ^[A-Za-z_][A-Za-z0-9_/]*\.$ ]]; then suite="$line"; continue; fi
    [[ "$line" == "  "* && -n "$suite" ]] || continue
    name="${suite}${line// /}"
    out="$(mktemp)"
    if (cd "$build/bin" && run "$binary" --gtest_filter="$name" >"$out" 2>&1); then
      echo "alone: $name passed"
    else
      echo "alone: $name FAILED"; grep -E "Failure|Expected|actual|Which is" "$out" | head -8
      failed+=("$name")
    fi
    rm -f "$out"
  done <"$list"
  for suite in $(grep -E '^[A-Za-z_][A-Za-z0-9_/]*\.$' "$list" | tr -d '.'); do
    out="$(mktemp)"
    if (cd "$build/bin" && run "$binary" --gtest_filter="$suite.*" --gtest_shuffle >"$out" 2>&1); then
      echo "shuffled: $suite passed ($(grep -o 'with a seed of [0-9]*' "$out" | head -1))"
    else
      echo "shuffled: $suite FAILED ($(grep -o 'with a seed of [0-9]*' "$out" | head -1))"; grep -E "Failure|FAILED  \]" "$out" | head -8
      failed+=("$suite (shuffled)")
    fi
    rm -f "$out"
  done
  rm -f "$list"
done
run "$build/testhid/testhid.exe" reset --unplug >/dev/null || true
run --stop
if [ ${#failed[@]} -gt 0 ]; then echo "FAILED: ${failed[*]}"; exit 1; fi
echo "every test passed alone and every suite shuffled"
