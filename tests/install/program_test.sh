#!/usr/bin/env bash
# The packaged program, run where it is installed (its files bound over /opt
# and /var/opt in a mount namespace of the test's own), keeps its settings in
# the state directory: it reads mcalld.ini there and makes [Log] Path there.
# Usage: program_test.sh DIRECTORY-WITH-THE-DEB
source "$(dirname "$0")/lib.sh"

deb=$(ls "$1"/mcalld_*.deb)
root=$scratch/root
state=/var/opt/mcalld
[ -d /opt ] && [ -d /var/opt ] || { echo "skipped: no /opt or /var/opt to bind over"; exit 77; }
need_namespace

dpkg-deb -x "$deb" "$root"
cat >"$root$state/mcalld.ini" <<'INI'
[Main]
Com=
[Log]
Path=made-by-the-program/
[ServerHost]
Address=127.0.0.1
Port=1
INI

env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen \
  "${run[@]}" sh -c 'mount --bind "$1/opt" /opt && mount --bind "$1/var/opt" /var/opt && cd "$2" && exec /opt/mcalld/bin/mcalld' \
  sh "$root" "$state" >"$scratch/program.out" 2>&1 &
pid=$!
for _ in $(seq 200); do
  [ -d "$root$state/made-by-the-program" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -TERM "$pid" 2>/dev/null || true
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -KILL "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true

[ -d "$root$state/made-by-the-program" ] ||
  fail "the installed program did not use $state: $(cat "$scratch/program.out")"

finish
