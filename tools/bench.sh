#!/usr/bin/env bash
# Builds the shipping 32-bit driver and the 64-bit benchmark with everything it starts, then runs
# veltra-bench under Wine and writes the figures to <build>/bench-results.json.
#
#   tools/bench.sh [--build DIR] [--x86-build DIR] [benchmark...]
#
# DIR defaults to build/windows-x64 and build/windows-x86 (the presets' folders).
set -eu
cd "$(dirname "$0")/.."
root="$PWD"
build="$root/build/windows-x64"
x86="$root/build/windows-x86"
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --x86-build) x86="$2"; shift 2 ;;
    *) break ;;
  esac
done
cmake --preset windows-x86 -B "$x86" >/dev/null
cmake --build "$x86" --target veltra -j2
cmake --preset windows-x64 -B "$build" >/dev/null
cmake --build "$build" --target veltra-bench -j2
export VELTRA_X86_EXE="$x86/bin/veltra.exe"
cd "$build"
tools_run="$root/tools/wine-run"
status=0
"$tools_run" --state "$build/wine" bin/veltra-bench.exe --json "$build/bench-results.json" "$@" || status=$?
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(wine --version 2>/dev/null)"
exit $status
