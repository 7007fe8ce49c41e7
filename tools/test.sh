#!/usr/bin/env bash
# Builds everything (the 64-bit test build and the shipping 32-bit build) and runs every test
# under Wine. Installs what is missing first.
set -eu
cd "$(dirname "$0")/.."
bash tools/install-packages.sh
# The shipping build first: the suite checks its executable.
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86
(cd build/windows-x86 && cpack -G ZIP >/dev/null)
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64
status=0
ctest --preset windows-x64 || status=$?
tools/wine-run --state build/windows-x64/wine --stop || true
exit $status
