#!/usr/bin/env bash
# Builds and runs the benchmark in both builds: the shipping 32-bit one under 32-bit Wine (where
# this machine can run it) and the 64-bit one. Each run measures veltra.exe of its own build with
# the test HID device as the pendant and writes <build>/bench-results.json; at the end it prints
# the table the README shows (tools/bench_table.py). About 10 minutes for both builds on 2 cores.
# Never run by tools/test.sh or CI: its figures are for reading, not for passing.
#
#   tools/bench.sh [benchmark...]
set -eu
cd "$(dirname "$0")/.."
root="$PWD"
presets=(windows-x64)
if reason="$(bash tools/wine32.sh)"; then
  presets=(windows-x86 windows-x64)
else
  echo "$reason" | sed 's/tests skipped/benchmark skipped/'
fi
status=0
for preset in "${presets[@]}"; do
  build="$root/build/$preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target veltra veltra-bench >/dev/null
  rm -f "$build/bench-results.json"  # a build that fails to run shows no stale figures
  echo "== $preset =="
  export VELTRA_X86_EXE="$root/build/windows-x86/bin/veltra.exe"
  "$root/tools/wine-run" --state "$build/wine" --start
  "$root/tools/wine-run" --state "$build/wine" "$build/testhid/testhid.exe" install >/dev/null
  (cd "$build" && "$root/tools/wine-run" --state "$build/wine" bin/veltra-bench.exe \
      --json "$build/bench-results.json" "$@") || status=$?
  "$root/tools/wine-run" --state "$build/wine" "$build/testhid/testhid.exe" reset --unplug >/dev/null || true
  "$root/tools/wine-run" --state "$build/wine" --stop
done
echo
results=()
for preset in "${presets[@]}"; do results+=("$root/build/$preset/bench-results.json"); done
python3 "$root/tools/bench_table.py" "${results[@]}" || status=$?
echo
echo "$(date -u '+%Y-%m-%d %H:%M UTC'), machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(wine --version 2>/dev/null)"
exit $status
