#!/usr/bin/env bash
# The long soak: builds the soak program with veltra.exe and the test HID device and runs it under
# Wine with many cycles (the test suite runs a short form of the same program). The shipping
# 32-bit build where this machine runs 32-bit programs, else the 64-bit one.
#
#   tools/soak.sh [--preset windows-x86|windows-x64] [--cycles N] [--races N] [--keys N] [--instances N]
set -eu
cd "$(dirname "$0")/.."
root="$PWD"
preset=windows-x64
bash tools/wine32.sh >/dev/null && preset=windows-x86
if [ "${1:-}" = "--preset" ]; then preset="$2"; shift 2; fi
build="$root/build/$preset"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target soak_tests
cd "$build"
"$root/tools/wine-run" --state "$build/wine" --start
"$root/tools/wine-run" --state "$build/wine" testhid/testhid.exe install >/dev/null
status=0
echo "soak of the $preset build"
"$root/tools/wine-run" --state "$build/wine" bin/soak_tests.exe \
    --cycles 100 --races 100 --keys 10000 --instances 100 "$@" || status=$?
"$root/tools/wine-run" --state "$build/wine" testhid/testhid.exe reset --unplug >/dev/null || true
exit $status
