# Shared by the installation tests (sourced): a scratch directory, checks
# that collect failures, and a fresh dpkg database to install into.
set -euo pipefail

scratch=$(mktemp -d "${TMPDIR:-/tmp}/mcalld-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

expect_eq() {  # what actual expected
  [ "$2" = "$3" ] || fail "$1: got '$2', want '$3'"
}

# Each line of stdin: a path under ROOT, then its mode and owner:group.
expect_modes() {
  local root=$1 path want
  while read -r path want; do
    [ -n "$path" ] || continue
    if [ -e "$root$path" ] || [ -L "$root$path" ]; then
      expect_eq "$path" "$(stat -c '%a %U:%G' "$root$path")" "$want"
    else
      fail "$path: missing"
    fi
  done
}

expect_absent() {
  local path
  for path in "$@"; do
    if [ -e "$path" ] || [ -L "$path" ]; then fail "$path: still there"; fi
  done
}

finish() {
  if [ "$failures" -gt 0 ]; then
    echo "$failures failed" >&2
    exit 1
  fi
  echo "all passed"
}

fresh_root() {
  mkdir -p "$1/var/lib/dpkg/info" "$1/var/lib/dpkg/updates"
  : >"$1/var/lib/dpkg/status"
}

# Maintainer scripts run on this system with DPKG_ROOT set, not chrooted;
# the Qt libraries the package depends on are not in the fresh root.
dpkg_in() {
  local root=$1
  shift
  dpkg --root="$root" --force-script-chrootless --force-depends "$@" >>"$scratch/dpkg.log" 2>&1 ||
    { cat "$scratch/dpkg.log" >&2; return 1; }
}

# Sets run to a command line that runs its arguments in a mount namespace of
# their own, where mounts stay private to them; exits 77 (skipped) where no
# such namespace can be made.
need_namespace() {
  run=(unshare --mount)
  [ "$(id -u)" -eq 0 ] || run+=(--map-root-user)
  if ! "${run[@]}" true 2>/dev/null; then
    echo "skipped: no mount namespace can be made here"
    exit 77
  fi
}
