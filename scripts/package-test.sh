#!/usr/bin/env bash
# Builds the Debian package and tries it on this machine: its contents and
# their modes, lintian, installation, the compression server started from
# its installed unit, the installed client in service mode fetching a page
# through it, then removal and purge.
#   scripts/package-test.sh [BUILD_DIR]      (default: build)
# Installing needs root or sudo; without either only the package itself is
# checked and the rest says "skipped: needs root".
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
# A folder given is taken from where the script was started.
if [ $# -gt 0 ]; then build=$(realpath -m "$1"); else build="$repo/build"; fi
cd "$repo"
step() { echo "== package-test: $*"; }
fail() { echo "package-test: FAILED: $*" >&2; exit 1; }

[ -f "$build/CMakeCache.txt" ] || fail "$build is not a configured build folder (cmake -S . -B $build first)"

step "building the package in $build"
cmake --build "$build" -j"$(nproc)" --target package
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
deb="$build/korvan_${version}_${arch}.deb"
if [ -z "$version" ] || [ ! -f "$deb" ]; then fail "the package $deb was not made"; fi
deb=$(realpath "$deb")
echo "package-test: $deb"

work=$(mktemp -d)
pids=()
installed_by_us=""
SUDO=""
cleanup() {
  local pid
  for pid in "${pids[@]}"; do $SUDO kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  # Whatever state a failure left the package in (installed, or removed with
  # its configuration kept), nothing of it stays.
  if [ -n "$installed_by_us" ] && dpkg-query -W korvan >/dev/null 2>&1; then
    echo "package-test: purging the package after a failure"
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq korvan >/dev/null 2>&1 || true
  fi
  $SUDO rm -rf "$work"
}
trap cleanup EXIT

step "contents (dpkg-deb -c)"
dpkg-deb -c "$deb" > "$work/contents"
# path, mode, link target ("" for none)
expected=(
  "./usr/lib/korvan/korvan -rwxr-xr-x"
  "./usr/lib/korvan/korvan-update -rwxr-xr-x"
  "./usr/lib/korvan/korvan-window.so -rw-r--r--"
  "./usr/lib/korvan/korvan.lvk -rw-r--r--"
  "./usr/lib/korvan/cs.kvl -rw-r--r--"
  "./usr/lib/korvan/en.kvl -rw-r--r--"
  "./usr/bin/korvan lrwxrwxrwx ../lib/korvan/korvan"
  "./usr/bin/korvan-server -rwxr-xr-x"
  "./usr/bin/korvan-codec -rwxr-xr-x"
  "./usr/share/applications/korvan.desktop -rw-r--r--"
  "./usr/share/icons/hicolor/scalable/apps/korvan.svg -rw-r--r--"
  "./usr/share/icons/hicolor/48x48/apps/korvan.png -rw-r--r--"
  "./lib/systemd/system/korvan.service -rw-r--r--"
  "./lib/systemd/system/korvan-server.service -rw-r--r--"
  "./usr/share/polkit-1/rules.d/korvan.rules -rw-r--r--"
  "./etc/default/korvan-server -rw-r--r--"
  "./usr/share/doc/korvan/copyright -rw-r--r--"
  "./usr/share/doc/korvan/changelog.gz -rw-r--r--"
  "./usr/share/man/man1/korvan.1.gz -rw-r--r--"
  "./usr/share/man/man1/korvan-server.1.gz -rw-r--r--"
  "./usr/share/man/man1/korvan-codec.1.gz -rw-r--r--"
)
problems=0
for entry in "${expected[@]}"; do
  read -r path mode target <<<"$entry"
  line=$(awk -v p="$path" '$6 == p' "$work/contents")
  if [ -z "$line" ]; then
    echo "package-test: missing $path" >&2; problems=$((problems + 1)); continue
  fi
  read -r got_mode owner _ _ _ _ arrow got_target <<<"$line"
  if [ "$got_mode" != "$mode" ] || [ "$owner" != root/root ]; then
    echo "package-test: $path is $got_mode $owner, wanted $mode root/root" >&2; problems=$((problems + 1))
  fi
  if [ -n "${target:-}" ] && { [ "$arrow" != "->" ] || [ "$got_target" != "$target" ]; }; then
    echo "package-test: $path should link to $target: $line" >&2; problems=$((problems + 1))
  fi
done
if awk '$2 != "root/root"' "$work/contents" | grep -q .; then
  echo "package-test: files not owned by root:" >&2; awk '$2 != "root/root"' "$work/contents" >&2
  problems=$((problems + 1))
fi
[ "$problems" -eq 0 ] || fail "$problems problem(s) with the package's contents"
echo "package-test: all ${#expected[@]} expected paths present with the right modes"

step "control fields and maintainer scripts"
dpkg-deb -f "$deb" Package Version Architecture Section Priority Maintainer Depends
[ "$(dpkg-deb -f "$deb" Section)" = net ] || fail "Section is not net"
[ "$(dpkg-deb -f "$deb" Priority)" = optional ] || fail "Priority is not optional"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in adduser libc6 libstdc++6 zlib1g libsqlite3-0; do
  tr ',' '\n' <<<"$depends" | awk '{print $1}' | grep -Fxq "$needed" || fail "Depends lacks $needed: $depends"
done
mkdir -p "$work/control" "$work/root"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "no executable $script"
  sh -n "$work/control/$script" || fail "$script does not parse"
done
grep -qx /etc/default/korvan-server "$work/control/conffiles" || fail "/etc/default/korvan-server is not a conffile"

step "stripped programs, icon, desktop entry"
dpkg-deb -x "$deb" "$work/root"
for program in usr/lib/korvan/korvan usr/lib/korvan/korvan-update usr/lib/korvan/korvan-window.so \
               usr/bin/korvan-server usr/bin/korvan-codec; do
  if readelf -S -W "$work/root/$program" | grep -Eq '\.symtab|\.debug_'; then
    fail "$program is not stripped"
  fi
  if readelf -d "$work/root/$program" | grep -Eq 'RPATH|RUNPATH'; then
    fail "$program keeps a library search path of the build"
  fi
done
python3 - "$work/root/usr/share/icons/hicolor/48x48/apps/korvan.png" \
          "$work/root/usr/share/icons/hicolor/scalable/apps/korvan.svg" <<'PY'
import struct, sys, xml.etree.ElementTree as ET, zlib
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "the PNG icon is no PNG"
width, height, depth, kind = struct.unpack(">IIBB", data[16:26])
assert (width, height) == (48, 48), f"the PNG icon is {width}x{height}, not 48x48"
# The whole image must decompress to one filter byte and 48 RGBA pixels a row.
at, idat = 8, b""
while at < len(data):
    length, = struct.unpack(">I", data[at:at + 4])
    chunk = data[at + 4:at + 8]
    if chunk == b"IDAT":
        idat += data[at + 8:at + 8 + length]
    at += 12 + length
assert len(zlib.decompress(idat)) == 48 * (1 + 4 * 48) and (depth, kind) == (8, 6), "damaged PNG icon"
root = ET.parse(sys.argv[2]).getroot()
assert root.tag == "{http://www.w3.org/2000/svg}svg", "the scalable icon is not SVG"
PY
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$work/root/usr/share/applications/korvan.desktop" || fail "desktop-file-validate"
  echo "package-test: desktop entry valid"
else
  echo "package-test: desktop-file-validate not installed; the desktop entry is not validated"
fi

step "lintian"
command -v lintian >/dev/null || fail "lintian is not installed (scripts/install-deps.sh installs it)"
if ! lintian --fail-on error "$deb" 2>&1 | tee "$work/lintian"; then
  fail "lintian reports errors"
fi
grep -q '^E:' "$work/lintian" && fail "lintian reports errors"
echo "package-test: lintian: $(grep -c '^W:' "$work/lintian" || true) warning(s), no errors"

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then SUDO="sudo"; else
    echo "package-test: installing: skipped: needs root"
    exit 0
  fi
fi
if dpkg-query -W -f='${Status}' korvan 2>/dev/null | grep -q installed; then
  fail "a korvan package is installed on this machine already; remove it first (the test purges what it installs)"
fi
apt_get() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }

step "apt-get install"
installed_by_us=yes
apt_get install -y -qq --no-install-recommends "$deb"
for account in korvan korvan-server; do
  entry=$(getent passwd "$account") || fail "the user $account was not made"
  IFS=: read -r _ _ uid _ _ home shell <<<"$entry"
  getent group "$account" >/dev/null || fail "the group $account was not made"
  [ "$home" = "/var/lib/$account" ] || fail "$account's home is $home"
  [ "$uid" -lt 1000 ] || fail "$account is not a system user (uid $uid)"
  case "$shell" in */nologin|*/false) ;; *) fail "$account has the login shell $shell" ;; esac
  [ "$($SUDO stat -c '%U %a' "/var/lib/$account")" = "$account 700" ] || fail "/var/lib/$account is not $account's, mode 700"
done
echo "package-test: users korvan and korvan-server, state folders in /var/lib"
for unit in korvan.service korvan-server.service; do
  [ ! -e "/etc/systemd/system/multi-user.target.wants/$unit" ] || fail "installing enabled $unit"
done
[ "$(readlink -f /usr/bin/korvan)" = /usr/lib/korvan/korvan ] || fail "/usr/bin/korvan does not lead to /usr/lib/korvan/korvan"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify /lib/systemd/system/korvan.service /lib/systemd/system/korvan-server.service ||
    fail "systemd-analyze verify"
  echo "package-test: systemd-analyze verify: both units clean"
fi
unit_line() { sed -n "s/^$2=//p" "/lib/systemd/system/$1"; }
[ "$(unit_line korvan.service User)" = korvan ] || fail "korvan.service does not run as korvan"
[ "$(unit_line korvan.service KillMode)" = process ] || fail "korvan.service would kill korvan-update on stop"
[ "$(unit_line korvan-server.service User)" = korvan-server ] || fail "korvan-server.service does not run as korvan-server"

step "korvan-server from the ExecStart= of its unit"
read -ra exec_start <<<"$(unit_line korvan-server.service ExecStart)"
[ "${exec_start[0]:-}" = /usr/bin/korvan-server ] || fail "unexpected ExecStart=: ${exec_start[*]}"
server_cmd=()
for ((i = 0; i < ${#exec_start[@]}; ++i)); do
  word=${exec_start[$i]}
  case "$word" in
    \$*) ;;  # $KORVAN_SERVER_OPTS from /etc/default/korvan-server: empty as installed
    --listen) server_cmd+=(--listen 127.0.0.1:0); i=$((i + 1)) ;;
    --accounts) server_cmd+=(--accounts "$work/accounts.db"); accounts_in_unit=${exec_start[$((i + 1))]}; i=$((i + 1)) ;;
    *) server_cmd+=("$word") ;;
  esac
done
[ "${accounts_in_unit:-}" = /var/lib/korvan-server/accounts.db ] || fail "the unit's account store is ${accounts_in_unit:-missing}"
server_cmd+=(--allow-private)
/usr/bin/korvan-server account add --accounts "$work/accounts.db" --id 100000001 --password pkgtest --credit 1048576
echo "package-test: ${server_cmd[*]}"
"${server_cmd[@]}" > "$work/server.out" 2> "$work/server.err" &
server_pid=$!
pids+=("$server_pid")
server_port=""
for _ in $(seq 100); do
  server_port=$(sed -n 's/^korvan-server: listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.out")
  [ -n "$server_port" ] && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.err" >&2; fail "korvan-server ended at start"; }
  sleep 0.1
done
[ -n "$server_port" ] || fail "korvan-server did not start listening"
echo "package-test: korvan-server listening on 127.0.0.1:$server_port"

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

step "python3 -m http.server with a page to fetch"
mkdir -p "$work/www"
{
  for n in $(seq 2000); do echo "<p>line $n of the page that travels through the packaged KORVAN</p>"; done
  head -c 65536 /dev/urandom | base64
} > "$work/www/page.html"
web_port=$(free_port)
python3 -m http.server --bind 127.0.0.1 --directory "$work/www" "$web_port" > "$work/web.log" 2>&1 &
web_pid=$!
pids+=("$web_pid")
wait_port "$web_port" || fail "the web server did not start"

step "/usr/bin/korvan --service as its unit runs it (user korvan, the unit's environment), with a temporary configuration"
proxy_port=$(free_port)
mkdir -p "$work/config"
printf '[Config]\r\nIDSE_Value=100000001\r\nPassEL_Text=pkgtest\r\nServerAddress=127.0.0.1\r\nServerPort=%s\r\n[Setup]\r\nSocketCount=1\r\n[Socket1]\r\nLPort=%s\r\nProtocol=0\r\n' \
  "$server_port" "$proxy_port" > "$work/config/Korvan.ini"
$SUDO chown -R korvan:korvan "$work/config"
$SUDO chmod 711 "$work"  # korvan may pass through to its folder, nothing more
# The log goes to $XDG_STATE_HOME/korvan (/var/lib/korvan), never into the
# program folder in /usr.
unit_env=$(unit_line korvan.service Environment)
[ "$unit_env" = XDG_STATE_HOME=/var/lib ] || fail "korvan.service sets Environment=$unit_env"
before=$(ls -la /usr/lib/korvan)
$SUDO setpriv --reuid=korvan --regid=korvan --init-groups \
  env -i PATH=/usr/bin:/bin HOME=/var/lib/korvan "$unit_env" \
  /usr/bin/korvan --service --config-dir "$work/config" > "$work/client.out" 2>&1 &
client_pid=$!
pids+=("$client_pid")
wait_port "$proxy_port" || { cat "$work/client.out" >&2; fail "the client's HTTP proxy port $proxy_port did not open"; }
echo "package-test: client's HTTP proxy on 127.0.0.1:$proxy_port"

step "curl --proxy through the client and the server"
curl -sS --fail --max-time 30 --proxy "http://127.0.0.1:$proxy_port" \
  "http://127.0.0.1:$web_port/page.html" -o "$work/fetched" || fail "curl through the proxy"
cmp "$work/www/page.html" "$work/fetched" || fail "the page came through changed"
echo "package-test: $(stat -c %s "$work/fetched") bytes came through unchanged"

step "stopping both"
$SUDO kill -TERM "$client_pid"  # sudo passes the signal on to the client
wait "$client_pid" || fail "the client ended with status $? on SIGTERM"
kill -TERM "$server_pid"
wait "$server_pid" || fail "korvan-server ended with status $? on SIGTERM"
kill -TERM "$web_pid"
wait "$web_pid" 2>/dev/null || true
pids=()
$SUDO test -s /var/lib/korvan/korvan.log || fail "the client wrote no log to /var/lib/korvan"
[ "$($SUDO stat -c %U /var/lib/korvan/korvan.log)" = korvan ] || fail "the client's log is not korvan's"
[ "$(ls -la /usr/lib/korvan)" = "$before" ] || fail "the client changed its program folder /usr/lib/korvan"
echo "package-test: client log in /var/lib/korvan, program folder untouched"

step "apt-get remove: stops, disables, keeps the state"
if command -v systemctl >/dev/null; then
  # Enabling works on the files alone, without a running systemd.
  systemctl enable korvan.service korvan-server.service >/dev/null 2>&1 ||
    $SUDO systemctl enable korvan.service korvan-server.service
  [ -L /etc/systemd/system/multi-user.target.wants/korvan-server.service ] || fail "systemctl enable made no link"
fi
apt_get remove -y -qq korvan
for gone in /usr/lib/korvan /usr/bin/korvan /usr/bin/korvan-server /lib/systemd/system/korvan.service \
            /lib/systemd/system/korvan-server.service /etc/systemd/system/multi-user.target.wants/korvan.service \
            /etc/systemd/system/multi-user.target.wants/korvan-server.service; do
  if [ -e "$gone" ] || [ -L "$gone" ]; then fail "$gone is still there after remove"; fi
done
[ -d /var/lib/korvan-server ] || fail "remove deleted the server's state"
[ -f /etc/default/korvan-server ] || fail "remove deleted the conffile"

step "apt-get purge"
apt_get purge -y -qq korvan
installed_by_us=""
for gone in /usr/lib/korvan /usr/bin/korvan /lib/systemd/system/korvan.service \
            /lib/systemd/system/korvan-server.service /etc/default/korvan-server \
            /var/lib/korvan /var/lib/korvan-server /usr/share/polkit-1/rules.d/korvan.rules; do
  if [ -e "$gone" ] || [ -L "$gone" ]; then fail "$gone is still there after purge"; fi
done
echo "package-test: everything passed"
