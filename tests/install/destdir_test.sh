#!/usr/bin/env bash
# cmake --install into a DESTDIR: the same layout and modes as the package,
# a menu entry that validates, settings kept on a second install, and no
# install over a settings file that a member of the group made a link.
# Usage: destdir_test.sh BUILD-DIRECTORY
[ "$(id -u)" -eq 0 ] || exec fakeroot -- "$0" "$@"  # owners need root, or its likeness
source "$(dirname "$0")/lib.sh"

build=$1
dest=$scratch/dest
state=/var/opt/mcalld
# With the permissive umask of many an administrator's shell.
install_into() { (umask 002 && DESTDIR=$1 cmake --install "$build" "${@:2}") >>"$scratch/install.log" 2>&1; }

install_into "$dest" || { cat "$scratch/install.log" >&2; exit 1; }
expect_modes "$dest" <<'ROWS'
/opt/mcalld                                     755 root:root
/opt/mcalld/bin                                 755 root:root
/opt/mcalld/bin/mcalld                          755 root:root
/opt/mcalld/bin/mcalld-udev-rule                755 root:root
/opt/mcalld/share/mcalld.ini.example            644 root:root
/var/opt/mcalld                                 2770 root:dialout
/var/opt/mcalld/logs                            2770 root:dialout
/var/opt/mcalld/mcalld.ini                      660 root:dialout
/usr/share/applications/mcalld.desktop          644 root:root
/etc/logrotate.d/mcalld                         644 root:root
/usr/lib/tmpfiles.d/mcalld.conf                 644 root:root
ROWS
entry=$dest/usr/share/applications/mcalld.desktop
desktop-file-validate "$entry" || fail "menu entry: desktop-file-validate"
expect_eq "menu entry" "$(grep -E '^(Exec|TryExec|Path)=' "$entry" | tr '\n' ' ')" \
  "Exec=/opt/mcalld/bin/mcalld TryExec=/opt/mcalld/bin/mcalld Path=$state "

echo "; edited at the site" >>"$dest$state/mcalld.ini"
install_into "$dest" || fail "second install"
expect_eq "settings after a second install" "$(tail -n 1 "$dest$state/mcalld.ini")" "; edited at the site"

printf 'secret' >"$dest/secret"
chmod 600 "$dest/secret"
rm "$dest$state/mcalld.ini"
ln -s ../../../secret "$dest$state/mcalld.ini"
if install_into "$dest"; then fail "installed over a linked settings file"; fi
expect_modes "$dest" <<'ROWS'
/secret                                         600 root:root
/var/opt/mcalld                                 2750 root:dialout
ROWS

# The program finds its state directory only under the prefix it was built for.
if install_into "$scratch/elsewhere" --prefix /opt/other; then fail "installed under another prefix"; fi
expect_absent "$scratch/elsewhere/opt/other/bin/mcalld"

finish
