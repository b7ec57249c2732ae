#!/bin/sh
# Runs a test program under umockdev's preload library. A sanitizer runtime that the
# program links must come first in LD_PRELOAD, so it is put there ahead of umockdev's.
prog="$1"
pre=""
for lib in libasan libtsan libubsan; do
    p=$(ldd "$prog" 2>/dev/null | awk -v l="$lib" 'index($1, l) == 1 { print $3; exit }')
    if [ -n "$p" ]; then pre="$pre${pre:+:}$p"; fi
done
exec env LD_PRELOAD="$pre${pre:+:}libumockdev-preload.so.0${LD_PRELOAD:+:$LD_PRELOAD}" "$@"
