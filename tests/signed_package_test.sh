#!/usr/bin/env bash
# Builds the shipping package as a signing build does, with a throwaway certificate made here:
# veltra.exe and the package must both carry a valid SHA-256 signature, the package must hold the
# signed veltra.exe, and the signed package must still install and uninstall under Wine.
#   signed_package_test.sh SOURCE_DIR WORK_DIR WINE_RUN WINE_STATE
# Exit 77 (skipped) when a tool it needs is missing.
set -eu
src="$1" work="$2" wine_run="$3" state="$4"
for tool in openssl osslsigncode wixl msibuild i686-w64-mingw32-g++-posix; do
  command -v "$tool" >/dev/null || { echo "no $tool: skipped"; exit 77; }
done
rm -rf "$work"
mkdir -p "$work"
cd "$work"

printf 'throwaway-%s' "$$" >password.txt
openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -nodes -subj "/CN=veltra throwaway signer" \
  -addext "extendedKeyUsage=codeSigning" -keyout key.pem -out cert.pem 2>openssl.log
openssl pkcs12 -export -inkey key.pem -in cert.pem -passout file:password.txt -out signer.p12 2>>openssl.log

# The shipping preset's settings, in a tree of its own; only the package and what it needs.
cmake -S "$src" -B tree --toolchain "$src/cmake/mingw-w64-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_TESTING=OFF -DVELTRA_SIGN_PKCS12="$work/signer.p12" \
  -DVELTRA_SIGN_PASSWORD_FILE="$work/password.txt" >configure.log
grep -q "are signed with" configure.log || { cat configure.log; echo "signing was not configured"; exit 1; }
cmake --build tree --target veltra-msi -j 2 >build.log 2>&1 || { tail -30 build.log; exit 1; }
msi="$(ls "$work"/tree/veltra-*-win32.msi)"

verify() {
  if ! osslsigncode verify -CAfile cert.pem -in "$1" >verify.log 2>&1 || ! grep -Eq "^Message digest algorithm +: SHA256" verify.log ||
     ! grep -q "Signature verification: ok" verify.log; then
    cat verify.log
    echo "FAILED: $1 carries no valid SHA-256 signature"
    exit 1
  fi
  echo "ok: $1 is signed (SHA-256)"
}
verify tree/bin/veltra.exe
verify "$msi"

# Installed and removed by the real msiexec under Wine, from the signed package.
installed="$state/prefix/drive_c/Program Files (x86)/veltra/veltra.exe"
winmsi="Z:${msi//\//\\}"
"$wine_run" --state "$state" msiexec /i "$winmsi" /qn >install.log 2>&1 || { echo "FAILED: install"; exit 1; }
[ -f "$installed" ] || { echo "FAILED: nothing installed at $installed"; exit 1; }
cmp -s "$installed" tree/bin/veltra.exe || { echo "FAILED: the package holds another veltra.exe"; exit 1; }
verify "$installed"
"$wine_run" --state "$state" msiexec /x "$winmsi" /qn >uninstall.log 2>&1 || { echo "FAILED: uninstall"; exit 1; }
[ ! -e "$installed" ] || { echo "FAILED: veltra.exe left after uninstalling"; exit 1; }
echo "ok: the signed package installs and uninstalls"
