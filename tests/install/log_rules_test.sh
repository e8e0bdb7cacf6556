#!/usr/bin/env bash
# The log limits of the package, run for real on copies in a scratch tree:
# logrotate renames mcall.log and starts an empty one the group can write;
# systemd-tmpfiles removes daily logs not written for a year and nothing else.
# Usage: log_rules_test.sh DIRECTORY-WITH-THE-GENERATED-RULES
[ "$(id -u)" -eq 0 ] || exec fakeroot -- "$0" "$@"  # logrotate's su needs root, or its likeness
source "$(dirname "$0")/lib.sh"

rules=$1
state=/var/opt/mcalld

# logrotate on its rule with the state directory moved into the scratch tree.
dir=$scratch/rotate
mkdir -p "$dir"
chgrp dialout "$dir"
chmod 2770 "$dir"
sed "s|$state/|$dir/|" "$rules/logrotate" >"$scratch/logrotate.conf"
chmod 644 "$scratch/logrotate.conf"
printf 'line\r\n' >"$dir/mcall.log"
logrotate -d -s "$scratch/logrotate.status" "$scratch/logrotate.conf" >"$scratch/logrotate.out" 2>&1 ||
  { cat "$scratch/logrotate.out" >&2; fail "logrotate -d"; }
logrotate -f -s "$scratch/logrotate.status" "$scratch/logrotate.conf" >>"$scratch/logrotate.out" 2>&1 ||
  { cat "$scratch/logrotate.out" >&2; fail "logrotate -f"; }
expect_eq "rotated log" "$(cat "$dir/mcall.log.1" 2>/dev/null)" $'line\r'
expect_modes "$dir" <<'ROWS'
/mcall.log                                      660 root:dialout
ROWS
expect_eq "new log" "$(stat -c %s "$dir/mcall.log")" 0

# systemd-tmpfiles on its rule in a scratch root.
root=$scratch/root
mkdir -p "$root$state/logs"
old=$(date -d '400 days ago' +%Y%m%d%H%M)
for file in logs/01.11.2025.lgs mcalld.ini 4FEEB983.dd8 old.lgs; do
  : >"$root$state/$file"
  touch -t "$old" "$root$state/$file"
done
: >"$root$state/logs/today.lgs"
: >"$root$state/logs/15.02.2026.lgs"
touch -d '300 days ago' "$root$state/logs/15.02.2026.lgs"
systemd-tmpfiles --root="$root" --clean "$rules/tmpfiles.conf" || fail "systemd-tmpfiles --clean"
expect_eq "left after the age limit" "$(cd "$root$state" && find . -type f | sort | tr '\n' ' ')" \
  "./4FEEB983.dd8 ./logs/15.02.2026.lgs ./logs/today.lgs ./mcalld.ini ./old.lgs "

finish
