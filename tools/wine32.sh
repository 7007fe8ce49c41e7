#!/usr/bin/env bash
# Makes 32-bit Wine ready for the shipping build's tests: checks that the kernel runs i386 code,
# then installs wine32:i386 when it is missing. Exit 0 when 32-bit programs can run; otherwise
# prints one line saying why not and exits 1.
set -u
cd "$(dirname "$0")/.."
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
# A static i386 program that exits with 42: only a kernel with 32-bit support runs it.
printf '.globl _start\n_start:\n movl $1, %%eax\n movl $42, %%ebx\n int $0x80\n' >"$dir/t.s"
if ! as --32 "$dir/t.s" -o "$dir/t.o" 2>/dev/null || ! ld -m elf_i386 "$dir/t.o" -o "$dir/t" 2>/dev/null; then
  echo "32-bit tests skipped: no i386 assembler and linker (binutils) to check the kernel with"
  exit 1
fi
"$dir/t" 2>/dev/null
if [ $? -ne 42 ]; then
  echo "32-bit tests skipped: this kernel does not run i386 programs"
  exit 1
fi
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
if ! installed wine32:i386; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing: wine32:i386" >&2
  if ! { $sudo dpkg --add-architecture i386 && $sudo apt-get update -qq &&
         DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
           wine32:i386; } >&2; then
    echo "32-bit tests skipped: wine32:i386 could not be installed"
    exit 1
  fi
fi
exit 0
