#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, only when missing.
# 32-bit Wine comes apart, from tools/wine32.sh, once the kernel is known to run i386 code.
set -eu
packages=(cmake make g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
          binutils wine wine64 xvfb xauth googletest python3 wixl msitools osslsigncode openssl "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
