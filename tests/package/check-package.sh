#!/usr/bin/env bash
# Checks what scripts/package made, as a customer would meet it:
#  - the .deb holds the programs, the menu entry, the icon, the settings and
#    the manual, and depends on the remote-desktop programs;
#  - installed into a scratch root, the menu entry's Exec line starts the
#    program, which reads the administrator's settings, keeps its log in the
#    user's state folder (its own folder is not the user's) and shows a
#    session code from a local gateway;
#  - the portable folder, unpacked, keeps its settings and log beside itself
#    and shows a session code too.
# Usage: check-package.sh PACKAGE_DIR VERSION ORVGATEWAY
# Exit 77 (skipped) when PACKAGE_DIR holds no package of VERSION: run scripts/package.
set -euo pipefail

packages=$(realpath "$1")
version="$2"
gateway_program=$(realpath "$3")
deb="$packages/orvalis-customer_${version}_$(dpkg --print-architecture).deb"
portable="$packages/orvalis-customer-$version-linux-$(uname -m).tar.gz"
if [[ ! -f "$deb" || ! -f "$portable" ]]; then
  echo "No package of version $version in $packages: run scripts/package first."
  exit 77
fi

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# Everything lives in one folder that user nobody can enter, whatever TMPDIR is.
work=$(mktemp -d /tmp/orv-package-check.XXXXXX)
chmod 0755 "$work"
cd "$work"
gateway=""
customer=""
cleanup() {
  local rc=$?
  [[ -z "$customer" ]] || kill -KILL "$customer" 2>/dev/null || true
  [[ -z "$gateway" ]] || { kill "$gateway" 2>/dev/null; wait "$gateway" 2>/dev/null; } || true
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work" || true
  exit "$rc"
}
trap cleanup EXIT

# Waits up to $2 seconds for the command $1 to succeed.
wait_for() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    eval "$1" && return 0
    sleep 0.1
  done
  return 1
}

echo "== contents of $(basename "$deb")"
dpkg-deb -c "$deb" >"$work/contents"
for entry in \
  "./usr/bin/orvcustomer -> ../lib/orvalis/orvcustomer" \
  "./usr/lib/orvalis/orvcustomer" "./usr/lib/orvalis/orvhost" "./usr/lib/orvalis/orvviewer" \
  "./usr/lib/orvalis/orvcustomer.ini -> /etc/orvalis/orvcustomer.ini" \
  "./etc/orvalis/orvcustomer.ini" \
  "./usr/share/applications/orvalis-customer.desktop" \
  "./usr/share/icons/hicolor/48x48/apps/orvalis-customer.png" \
  "./usr/share/icons/hicolor/256x256/apps/orvalis-customer.png" \
  "./usr/share/man/man1/orvcustomer.1.gz" \
  "./usr/share/doc/orvalis-customer/copyright"; do
  grep -qF " $entry" "$work/contents" || fail "the package lacks $entry"
done
dpkg-deb -e "$deb" "$work/control"
grep -qx "/etc/orvalis/orvcustomer.ini" "$work/control/conffiles" || fail "the settings are not a conffile"
depends=$(dpkg-deb -f "$deb" Depends)
for package in x11vnc tigervnc-viewer xdg-utils libqt6widgets6 libssl3 libcurl4; do
  [[ ",$depends," == *[\ ,]"$package"[\ ,\(]* ]] || fail "Depends lacks $package: $depends"
done
echo "ok"

# A local gateway for both runs; it ends with this script at the latest.
"$gateway_program" --listen 127.0.0.1:0 --state-dir "$work/gateway" --exit-with-parent \
  >"$work/gateway.out" 2>"$work/gateway.log" &
gateway=$!
wait_for 'grep -q "^orvgateway listening on" "$work/gateway.out"' 30 || fail "orvgateway did not start"
port=$(sed -n 's/^orvgateway listening on .*:\([0-9]*\)$/\1/p' "$work/gateway.out")

# Runs a command line until the log $1 shows a session code; then asks the
# program to close and waits for it. The program sees only what a desktop
# session would give it, never the caller's own folders, and never restarts
# the machine.
reaches_session_code() {
  local log="$1" home="$2"
  shift 2
  mkdir -p "$home/runtime"
  chmod 0700 "$home/runtime"
  env -i PATH="$PATH" LANG=C.UTF-8 HOME="$home" XDG_STATE_HOME="$home/state" XDG_CONFIG_HOME="$home/config" \
    XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=offscreen \
    ORV_NO_SESSION_ACTIONS=1 "$@" >"$work/customer.out" 2>&1 &
  customer=$!
  if ! wait_for 'grep -aq "Session code is [0-9]" "$log" 2>/dev/null' 60; then
    cat "$work/customer.out" >&2
    [[ ! -f "$log" ]] || tail -n 30 "$log" >&2
    fail "no session code in $log"
  fi
  kill -TERM "$customer" 2>/dev/null || true
  wait_for '! kill -0 "$customer" 2>/dev/null' 30 || fail "the program did not close"
  local rc=0
  wait "$customer" || rc=$?
  customer=""
  ((rc == 0)) || fail "the program closed with status $rc"
  echo "ok: $(grep -ao "Session code is [0-9]*" "$log" | tail -n 1); the log $log begins:"
  head -n 7 "$log" | tr -d '\r'
}

echo "== installed into a scratch root"
root="$work/root"
dpkg-deb -x "$deb" "$root"
# As in a chroot, absolute links lead into the root.
while IFS= read -r link; do
  ln -sfn "$root$(readlink "$link")" "$link"
done < <(find "$root" -type l -lname '/*')
printf '[gateway]\ngateway1=127.0.0.1:%s\n' "$port" >"$root/etc/orvalis/orvcustomer.ini"
exec_line=$(sed -n 's/^Exec=//p' "$root/usr/share/applications/orvalis-customer.desktop")
[[ -n "$exec_line" ]] || fail "the menu entry has no Exec line"
read -r -a command <<<"$exec_line"
# The program's folder must not be the user's: run as nobody when we are
# root (and end with this script), else take the write permission away.
home="$work/home"
mkdir -p "$home"
as_user=()
if ((EUID == 0)); then
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --pdeathsig KILL)
  mkdir -p "$home/runtime"
  chown -R 65534:65534 "$home"
  "${as_user[@]}" test -x "$root/usr/lib/orvalis/orvcustomer" ||
    fail "user nobody cannot reach $root (is a folder above it closed to others?)"
else
  chmod a-w "$root/usr/lib/orvalis"
fi
PATH="$root/usr/bin:$PATH" reaches_session_code "$home/state/orvalis/debug.log" "$home" \
  "${as_user[@]}" "${command[@]}" /AUTOCONNECT
grep -aq "Running from: $root/usr/lib/orvalis/orvcustomer" "$home/state/orvalis/debug.log" ||
  fail "the log does not say where the program runs from"
[[ ! -e "$root/usr/lib/orvalis/debug.log" ]] || fail "the log was written into the program's folder"

echo "== the portable folder"
mkdir "$work/portable"
tar -xzf "$portable" -C "$work/portable"
folder="$work/portable/orvalis-customer-$version-linux-$(uname -m)"
for file in orvcustomer orvhost orvviewer orvcustomer.ini README; do
  [[ -f "$folder/$file" ]] || fail "the portable folder lacks $file"
done
grep -q "x11vnc" "$folder/README" && grep -q "tigervnc-viewer" "$folder/README" ||
  fail "the README does not list the remote-desktop packages"
printf '[gateway]\ngateway1=127.0.0.1:%s\n' "$port" >"$folder/orvcustomer.ini"
reaches_session_code "$folder/debug.log" "$work/portable-home" setpriv --pdeathsig KILL "$folder/orvcustomer" /AUTOCONNECT
grep -aq "Running from: $folder/orvcustomer" "$folder/debug.log" || fail "the log does not say where the program runs from"
echo "all checks passed"
