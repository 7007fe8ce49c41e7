#!/usr/bin/env bash
# The long soak: builds the soak program with the driver's virtual build and runs it under Wine
# with many cycles (the test suite runs a short form of the same program).
#
#   tools/soak.sh [--build DIR] [--cycles N] [--races N] [--keys N] [--instances N]
set -eu
cd "$(dirname "$0")/.."
root="$PWD"
build="$root/build/windows-x64"
if [ "${1:-}" = "--build" ]; then build="$2"; shift 2; fi
cmake --preset windows-x64 -B "$build" >/dev/null
cmake --build "$build" --target soak_tests -j2
cd "$build"
"$root/tools/wine-run" --state "$build/wine" --start
status=0
"$root/tools/wine-run" --state "$build/wine" bin/soak_tests.exe \
    --cycles 100 --races 100 --keys 10000 --instances 100 "$@" || status=$?
exit $status
