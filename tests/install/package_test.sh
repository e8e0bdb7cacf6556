#!/usr/bin/env bash
# The .deb as dpkg installs, upgrades and purges it, in a fresh root of its
# own (nothing on this system is touched): who may change the program, who
# may write its state, what an upgrade keeps and what a purge leaves.
# Usage: package_test.sh DIRECTORY-WITH-THE-DEB
[ "$(id -u)" -eq 0 ] || exec fakeroot -- "$0" "$@"  # owners need root, or its likeness
source "$(dirname "$0")/lib.sh"

deb=$(ls "$1"/mcalld_*.deb)
state=/var/opt/mcalld

root=$scratch/root
fresh_root "$root"
dpkg_in "$root" -i "$deb"

expect_modes "$root" <<'ROWS'
/opt/mcalld                                     755 root:root
/opt/mcalld/bin                                 755 root:root
/opt/mcalld/bin/mcalld                          755 root:root
/opt/mcalld/bin/mcalld-udev-rule                755 root:root
/opt/mcalld/share                               755 root:root
/opt/mcalld/share/mcalld.ini.example            644 root:root
/var/opt/mcalld                                 2770 root:dialout
/var/opt/mcalld/logs                            2770 root:dialout
/var/opt/mcalld/mcalld.ini                      660 root:dialout
/usr/share/applications/mcalld.desktop          644 root:root
/usr/share/icons/hicolor/scalable/apps/mcalld.svg 644 root:root
/etc/logrotate.d/mcalld                         644 root:root
/usr/lib/tmpfiles.d/mcalld.conf                 644 root:root
ROWS
expect_eq "menu entry" "$(grep -E '^(Exec|Path)=' "$root/usr/share/applications/mcalld.desktop" | tr '\n' ' ')" \
  "Exec=/opt/mcalld/bin/mcalld Path=$state "

# A site's settings, the operators' files, and a member of the group who
# swapped the log directory for a link to a directory of root's.
echo "; edited at the site" >>"$root$state/mcalld.ini"
printf 'x' >"$root$state/mcall.log"
printf 'x' >"$root$state/4FEEB983.dd8"
mkdir -m 700 "$root/root-only"
printf 'x' >"$root/root-only/keep"
rmdir "$root$state/logs"
ln -s ../../../root-only "$root$state/logs"
# The administrator's switch for starting at login, as README gives it.
mkdir -p "$root/etc/xdg/autostart"
ln -s /usr/share/applications/mcalld.desktop "$root/etc/xdg/autostart/mcalld.desktop"

# The same package under a later version stands in for the next release.
dpkg-deb -R "$deb" "$scratch/next"
sed -i 's/^Version: .*/Version: 99.0/' "$scratch/next/DEBIAN/control"
dpkg-deb -b --root-owner-group "$scratch/next" "$scratch/next.deb" >/dev/null
dpkg_in "$root" -i "$scratch/next.deb"

expect_eq "settings after the upgrade" "$(tail -n 1 "$root$state/mcalld.ini")" "; edited at the site"
expect_modes "$root" <<'ROWS'
/var/opt/mcalld                                 2770 root:dialout
/var/opt/mcalld/mcalld.ini                      660 root:dialout
/root-only                                      700 root:root
ROWS

dpkg_in "$root" --purge mcalld
expect_modes "$root" <<'ROWS'
/root-only/keep                                 644 root:root
ROWS
expect_eq "after the purge, the state directory holds" "$(ls -A "$root$state")" "4FEEB983.dd8"
expect_absent "$root/opt/mcalld" "$root/etc/logrotate.d/mcalld" "$root/usr/share/applications/mcalld.desktop" \
  "$root/etc/xdg/autostart/mcalld.desktop"

# Earlier packages kept everything in /opt/mcalld and let the group write
# there. An upgrade from one makes the directory root's again and takes the
# site's settings over; with no spool file left, a purge leaves nothing.
old=$scratch/old
mkdir -p "$old/DEBIAN" "$old/opt/mcalld"
printf '#!/bin/sh\n' >"$old/opt/mcalld/mcalld"
chmod 755 "$old/opt/mcalld/mcalld"
printf '[Main]\r\nCom=COM3\r\n' >"$old/opt/mcalld/mcalld.ini"
echo /opt/mcalld/mcalld.ini >"$old/DEBIAN/conffiles"
printf 'Package: mcalld\nVersion: 1.0.0.0\nArchitecture: all\nMaintainer: x <x@localhost>\nDescription: x\n' \
  >"$old/DEBIAN/control"
cat >"$old/DEBIAN/postinst" <<'SCRIPT'
#!/bin/sh
[ "$1" = configure ] || exit 0
chgrp dialout "$DPKG_ROOT/opt/mcalld" "$DPKG_ROOT/opt/mcalld/mcalld.ini"
chmod 2775 "$DPKG_ROOT/opt/mcalld"
chmod 664 "$DPKG_ROOT/opt/mcalld/mcalld.ini"
SCRIPT
chmod 755 "$old/DEBIAN/postinst"
dpkg-deb -b --root-owner-group "$old" "$scratch/old.deb" >/dev/null

root=$scratch/root-old
fresh_root "$root"
dpkg_in "$root" -i "$scratch/old.deb"
printf 'Code=7777\r\n' >>"$root/opt/mcalld/mcalld.ini"
dpkg_in "$root" -i "$deb"
expect_modes "$root" <<'ROWS'
/opt/mcalld                                     755 root:root
/var/opt/mcalld                                 2770 root:dialout
/var/opt/mcalld/mcalld.ini                      660 root:dialout
ROWS
expect_eq "settings taken over" "$(tr -d '\r' <"$root$state/mcalld.ini" | tr '\n' ' ')" "[Main] Com=COM3 Code=7777 "
expect_absent "$root/opt/mcalld/mcalld.ini"
# dpkg does not bring back a configuration file the administrator removed.
rm "$root$state/mcalld.ini"
dpkg_in "$root" -i "$scratch/next.deb" || fail "upgrade after the settings file was removed"
dpkg_in "$root" --purge mcalld
expect_absent "$root$state"

finish
