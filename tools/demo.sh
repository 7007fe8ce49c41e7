#!/usr/bin/env bash
# The demo: installs what is missing, builds the driver's virtual build with the stand-in host,
# the virtual pendant and the stand-in hook library, and runs one scripted session under Wine in
# Xvfb. Prints a timeline of what the pendant sent, what reached the hook library and what the
# display received, then one verdict line. Leaves no process behind, also on Ctrl+C.
set -eu
cd "$(dirname "$0")/.."
bash tools/install-packages.sh
build=build/windows-x64
state=$build/wine
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 --target veltra-demo veltra-virtual virtual-pendant ncstudio-v8 \
    hravik_full >/dev/null
stop() { tools/wine-run --state "$state" --stop; }
trap 'stop; exit 130' INT TERM
tools/wine-run --state "$state" --start
set +e
tools/wine-run --state "$state" "$build/bin/veltra-demo.exe"
code=$?
set -e
stop
exit $code
