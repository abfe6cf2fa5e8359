#!/usr/bin/env bash
# Clean install test of the Debian package on this machine (root or sudo): installs the .deb
# with its dependencies, runs the installed programs as a user would, removes (purges) the
# package and checks that nothing it brought is left behind.
# Usage: deb_install_test.sh PATH/lorvane_<version>_<arch>.deb
set -euo pipefail
deb="$(realpath "$1")"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
fail() { echo "install test: FAIL: $*" >&2; exit 1; }
work="$(mktemp -d /tmp/lorvane-deb-test.XXXXXX)"
trap 'rm -rf "$work"' EXIT
version="$(dpkg-deb --field "$deb" Version)"
# The default archive needs Qt's SQLite driver, a plugin dpkg-shlibdeps cannot see.
dpkg-deb --field "$deb" Depends | grep -qw libqt6sql6-sqlite ||
  fail "the package does not depend on libqt6sql6-sqlite"

if dpkg-query -W -f='${Status}' lorvane 2>/dev/null | grep -q "installed"; then
  [ "${CI:-}" = "true" ] || fail "lorvane is installed on this machine already; remove it first"
  $SUDO dpkg --purge lorvane >/dev/null
fi
snapshot() { find /usr /etc /opt -xdev \( -path /usr/local -o -path /etc/ld.so.cache \) -prune \
  -o -print 2>/dev/null | sort; }
snapshot >"$work/before"

echo "install test: installing $(basename "$deb")"
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$deb" \
  >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "the package did not install"; }
dpkg-query -L lorvane >"$work/files"

# What a user does first. The programs come from PATH (/usr/bin), the data from /usr/share.
[ "$(command -v pelmar)" = /usr/bin/pelmar ] || fail "pelmar is not /usr/bin/pelmar"
out="$(pelmar --version)"
[ "$out" = "pelmar $version" ] || fail "pelmar --version: $out"
out="$(launcher --version)"
[ "$out" = "launcher $version" ] || fail "launcher --version: $out"
env -u XDG_RUNTIME_DIR XDG_CONFIG_HOME="$work/config" dorlin ports >"$work/ports" 2>"$work/ports.err" ||
  fail "dorlin ports failed: $(cat "$work/ports.err")"
[ ! -s "$work/ports.err" ] || fail "dorlin ports wrote to stderr: $(cat "$work/ports.err")"
readersim --help | grep -q -- "--pty" || fail "readersim --help lists no --pty"
out="$(man -w pelmar)"
[ "$out" = /usr/share/man/man1/pelmar.1.gz ] || fail "man -w pelmar: $out"
MANWIDTH=80 man --warnings pelmar >/dev/null 2>"$work/man.err"
[ ! -s "$work/man.err" ] || fail "man pelmar warns: $(cat "$work/man.err")"
[ -e /usr/share/lorvane/Language/English.lng ] || fail "no /usr/share/lorvane/Language/English.lng"
desktop-file-validate /usr/share/applications/org.lorvane.pelmar.desktop ||
  fail "the installed desktop entry does not validate"
# The default archive works on an install without recommends: the installed simulated reader's
# records downloaded into it, then listed from it.
readersim --pty "$work/reader0" --records 5 --seed 7 >/dev/null 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -e "$work/reader0" ] && break; sleep 0.1; done
[ -e "$work/reader0" ] || fail "readersim did not come up"
user_env=(env XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
  DORLIN_PORTS="COM7=$work/reader0" LORVANE_LOGIN=4826)
"${user_env[@]}" pelmar download --port COM7 --archive >"$work/download" 2>"$work/download.err" ||
  fail "pelmar download --archive: $(cat "$work/download.err")"
grep -qx "5 new, 0 already archived" "$work/download" ||
  fail "pelmar download --archive said: $(cat "$work/download")"
"${user_env[@]}" pelmar records >"$work/records" 2>"$work/records.err" ||
  fail "pelmar records: $(cat "$work/records.err")"
[ "$(wc -l <"$work/records")" -ge 5 ] || fail "pelmar records listed: $(cat "$work/records")"
kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true

echo "install test: removing"
$SUDO dpkg --purge lorvane >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "purge failed"; }
while read -r f; do
  [ -d "$f" ] && [ ! -L "$f" ] && continue # shared folders such as /usr/share stay
  [ -e "$f" ] || [ -L "$f" ] && fail "left behind: $f"
done <"$work/files"
snapshot >"$work/after"
if ! diff "$work/before" "$work/after" >"$work/diff"; then
  cat "$work/diff"
  fail "the file system differs after install and purge"
fi
echo "install test: passed (installed, used, purged, nothing left)"
