#!/usr/bin/env bash
# The demo: installs what is missing, builds veltra.exe with the test HID device, the stand-in host
# and the stand-in hook library, and runs one scripted session under Wine in Xvfb. Prints a
# timeline of what the pendant sent, what reached the hook library and what the display received,
# then one verdict line. Runs the shipping 32-bit build where this machine can run 32-bit
# programs, else the 64-bit one. Leaves no process behind, also on Ctrl+C.
set -eu
cd "$(dirname "$0")/.."
bash tools/install-packages.sh
if reason="$(bash tools/wine32.sh)"; then
  preset=windows-x86
  echo "demo: the shipping 32-bit build (build/windows-x86)"
else
  preset=windows-x64
  echo "demo: the 64-bit build (build/windows-x64); ${reason#32-bit tests skipped: }"
fi
build=build/$preset
state=$build/wine
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target veltra-demo >/dev/null
stop() { tools/wine-run --state "$state" --stop; }
trap 'stop; exit 130' INT TERM
tools/wine-run --state "$state" --start
tools/wine-run --state "$state" "$build/testhid/testhid.exe" install >/dev/null
set +e
tools/wine-run --state "$state" "$build/bin/veltra-demo.exe"
code=$?
set -e
stop
exit $code
