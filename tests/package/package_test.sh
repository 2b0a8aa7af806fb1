#!/usr/bin/env bash
# The Debian package of ./scripts/package: its files, lintian and the
# validators clean, installed into a scratch root, run (as nobody), completed,
# removed with nothing of ours left.   package_test.sh DEB
set -euo pipefail
deb=$(realpath "$1")
fail() { echo "FAIL: $*" >&2; exit 1; }
t=$(mktemp -d) && trap 'rm -rf "$t"' EXIT
chmod 755 "$t" && root=$t/root home=$t/home && mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$home"
touch "$root/var/lib/dpkg/status" && chown nobody "$home"

files=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for f in usr/bin/velkaro_redi usr/libexec/velkaro_redi/velkaro_redi-lookup usr/share/applications/velkaro_redi.desktop usr/share/man/man1/velkaro_redi.1.gz \
    usr/share/icons/hicolor/scalable/apps/velkaro_redi.svg usr/lib/systemd/user/velkaro_redi.service \
    lib/systemd/system/velkaro_redi-system.service \
    usr/share/bash-completion/completions/velkaro_redi usr/share/metainfo/org.velkaro_redi.velkaro_redi.metainfo.xml \
    usr/share/doc/velkaro-redi/copyright; do
  grep -qx "./$f" <<<"$files" || fail "the package lacks /$f"
done
dpkg-deb -f "$deb" Depends | grep -q libqt6widgets6 || fail "Depends lacks the linked Qt"
dpkg-deb -f "$deb" Depends | grep -q libfuse3 || fail "Depends lacks the linked libfuse3"
lintian --fail-on error "$deb" 2>&1 | grep -v 'root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1 || fail "lintian reports errors"

export DPKG_ROOT=$root
dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" >"$t/dpkg.log" 2>&1 ||
  fail "dpkg -i: $(cat "$t/dpkg.log")"
desktop-file-validate "$root/usr/share/applications/velkaro_redi.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.xml >/dev/null || fail "metainfo"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/velkaro_redi.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man --warnings: $warnings"

as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$home" XDG_CONFIG_HOME= "$@"; }
exe=$root/usr/bin/velkaro_redi
as_nobody "$exe" --version | grep -qx 'Velkaro_redi [0-9.]*\( (.*)\)\?' || fail "--version: $(as_nobody "$exe" --version)"
[ "$(as_nobody "$root"/usr/libexec/velkaro_redi/velkaro_redi-lookup localhost)" = "OK 127.0.0.1" ] || fail "the lookup helper"
as_nobody "$exe" --add COM7 >/dev/null || fail "--add"
[ -f "$home/.config/velkaro_redi/pairs.dat" ] || fail "the installed copy keeps no files in ~/.config/velkaro_redi"
completed=$(as_nobody bash -c 'source /usr/share/bash-completion/bash_completion
  source "$1"/usr/share/bash-completion/completions/velkaro_redi
  COMP_WORDS=("$2" --delete C) COMP_CWORD=2 COMP_LINE="$2 --delete C" COMP_POINT=${#COMP_LINE}
  _velkaro_redi; echo "${COMPREPLY[*]}"' - "$root" "$exe")
[ "$completed" = COM7 ] || fail "completion of --delete gave \"$completed\", not COM7"

# The installed program finds its lookup helper: a port to "localhost" connects.
exec {peer}< <(python3 -c 'import socket; s = socket.create_server(("127.0.0.1", 0)); print(s.getsockname()[1], flush=True)
s.settimeout(30); s.accept(); print("accepted", flush=True)')
read -r port <&"$peer"
as_nobody "$exe" --add COM8 --remote "localhost:$port" >/dev/null || fail "--add COM8"
setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$home" XDG_CONFIG_HOME= "$exe" -platform offscreen \
  >"$t/program.log" 2>&1 & program=$!  # not through the function: $! must be the program
for _ in $(seq 100); do [ -S "$home/.config/velkaro_redi/control.sock" ] && break; sleep 0.1; done
as_nobody "$exe" --start COM8 >/dev/null 2>&1 || true  # already started where STARTUP is on
read -r -t 30 accepted <&"$peer" || true
kill "$program" && wait "$program" || fail "the program's exit after SIGTERM: $(cat "$t/program.log")"
[ "${accepted:-}" = accepted ] || fail "a port to localhost did not connect: $(cat "$t/program.log")"

dpkg --root="$root" --force-script-chrootless -P velkaro-redi >/dev/null
left=$(cd "$root" && find . -mindepth 1 -not -path './var*')
[ -z "$left" ] || fail "left after removal: $left"
echo "package test: passed"
