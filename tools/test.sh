#!/usr/bin/env bash
# Builds everything (the shipping 32-bit build and the 64-bit build) and runs every test under
# Wine: the 32-bit suite under 32-bit Wine where this machine can run it, and the 64-bit suite.
# Installs what is missing first.
set -eu
cd "$(dirname "$0")/.."
bash tools/install-packages.sh
x86_tests=1
skip_reason="$(bash tools/wine32.sh)" || x86_tests=0
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86
(cd build/windows-x86 && cpack -G ZIP >/dev/null)
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64

# The two suites use separate prefixes and displays, and mostly wait on Wine and the clock:
# run them side by side.
run_suite() {
  local preset="$1" started=$SECONDS rc=0
  ctest --preset "$preset" >"build/$preset/test-output.log" 2>&1 || rc=$?
  tools/wine-run --state "build/$preset/wine" --stop || true
  echo "$preset suite: exit $rc after $((SECONDS - started)) s" >>"build/$preset/test-output.log"
  return $rc
}
status=0
if [ $x86_tests -eq 1 ]; then
  run_suite windows-x86 & x86_pid=$!
fi
run_suite windows-x64 || status=$?
cat build/windows-x64/test-output.log
if [ $x86_tests -eq 1 ]; then
  wait $x86_pid || status=$?
  cat build/windows-x86/test-output.log
else
  echo "$skip_reason"
fi
exit $status
