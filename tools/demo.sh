#!/usr/bin/env bash
# Builds the driver and runs it under Wine in the foreground; Ctrl+C ends the driver, Wine and
# Xvfb.
set -eu
cd "$(dirname "$0")/.."
bash tools/install-packages.sh
cmake --preset windows-x64 -DBUILD_TESTING=OFF >/dev/null
cmake --build --preset windows-x64 --target veltra hravik_full
state=build/windows-x64/wine
trap 'tools/wine-run --state $state --stop; exit 0' INT TERM
echo "veltra.exe is running under Wine (hidden, in the tray). Ctrl+C ends it."
tools/wine-run --state $state build/windows-x64/bin/veltra.exe &
wait $!
tools/wine-run --state $state --stop
