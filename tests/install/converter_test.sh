#!/usr/bin/env bash
# Without the Windows-1251 converter the program refuses to start, saying
# why, instead of sending UTF-8. The C library's gconv modules are hidden
# under an empty tmpfs in a mount namespace of the test's own (GCONV_PATH
# cannot do it: the C library searches its own directory after it).
# Usage: converter_test.sh PATH-OF-THE-PROGRAM
source "$(dirname "$0")/lib.sh"

program=$1
gconv=$(find /usr/lib /usr/lib64 /lib -path '*/gconv/CP1251.so' -print -quit 2>/dev/null || true)
[ -n "$gconv" ] || { fail "no CP1251.so of the C library here to hide"; finish; }
need_namespace

cd "$scratch"
status=0
env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen timeout -k 5 20 \
  "${run[@]}" sh -c 'mount -t tmpfs none "$1" && exec "$2"' sh "$(dirname "$gconv")" "$program" \
  >"$scratch/stdout" 2>"$scratch/stderr" || status=$?
expect_eq "exit status" "$status" 1
grep -q 'the Windows-1251 converter is missing' "$scratch/stderr" ||
  fail "no word of the converter on stderr: $(cat "$scratch/stderr")"

finish
