#!/usr/bin/env bash
# Compile check of the irtx module against Debian's kernel headers
# (package linux-headers-amd64). The module is built out of a copy in the
# build tree and never loaded. Fails on any compiler or sparse warning.
# Exit 77 (skipped) when the headers are not installed.
# Usage: kbuild_check.sh <source dir> <work dir>   (IRTX_KDIR overrides the headers)
set -uo pipefail
src=$1
work=$2

kdir=${IRTX_KDIR:-$(ls -d /usr/src/linux-headers-*-amd64 2>/dev/null | sort -V | tail -n 1)}
if [ -z "$kdir" ] || [ ! -f "$kdir/Makefile" ]; then
    echo "irtx kbuild check SKIPPED: no Debian kernel headers under /usr/src (install linux-headers-amd64)"
    exit 77
fi

rm -rf "$work"
mkdir -p "$work"
cp "$src"/Kbuild "$src"/*.c "$src"/*.h "$work"/ || exit 1

checker=()
if command -v sparse >/dev/null 2>&1; then
    checker=(C=1)
else
    echo "irtx kbuild check: sparse not installed, static checks not run"
fi

log=$work/build.log
make -C "$kdir" M="$work" W=1 "${checker[@]}" modules >"$log" 2>&1
rc=$?
cat "$log"
if [ "$rc" -ne 0 ]; then
    echo "irtx kbuild check FAILED: make exited with $rc"
    exit 1
fi
if grep -qE '(warning|error):' "$log"; then
    echo "irtx kbuild check FAILED: the build is not warning-free"
    exit 1
fi
if [ ! -s "$work/irtx.ko" ]; then
    echo "irtx kbuild check FAILED: no irtx.ko produced"
    exit 1
fi
# hrtimer exports are GPL-only: the module must declare a GPL licence.
if ! objcopy -O binary --only-section=.modinfo "$work/irtx.ko" /dev/stdout | tr '\0' '\n' | grep -qx 'license=GPL'; then
    echo "irtx kbuild check FAILED: irtx.ko carries no GPL licence"
    exit 1
fi
echo "irtx kbuild check: irtx.ko built against $kdir (not loaded)"
