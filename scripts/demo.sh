#!/usr/bin/env bash
# Sets everything up and runs the whole service on this machine: the
# compression server on 127.0.0.1:3893 with the demo account, and the client
# as a service with an HTTP proxy on port 3128 and a SOCKS 4 proxy on 1080.
# Ctrl-C stops both in order.
#   scripts/demo.sh [--allow-private]    (let the server reach local targets too)
set -euo pipefail
cd "$(dirname "$0")/.."

server_flags=()
[ "${1:-}" = "--allow-private" ] && server_flags+=(--allow-private)

scripts/install-deps.sh
generator=()
[ ! -f build/CMakeCache.txt ] && command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B build "${generator[@]}" -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)" --target korvan korvan-server korvan_language_files korvan_word_list

bin=build/bin
demo=build/demo
mkdir -p "$demo/config"
accounts="$demo/accounts.db"

# The demo account that the no-credit page names.
if ! "$bin/korvan-server" account show --accounts "$accounts" --id 100000001 >/dev/null 2>&1; then
  "$bin/korvan-server" account add --accounts "$accounts" --id 100000001 --password demo --credit 1048576
fi

if [ ! -f "$demo/config/Korvan.ini" ]; then
  cat > "$demo/config/Korvan.ini" <<'INI'
[Config]
IDSE_Value=100000001
PassEL_Text=demo
ServerAddress=127.0.0.1
ServerPort=3893
[Setup]
SocketCount=2
[Socket1]
LPort=3128
Protocol=0
[Socket2]
LPort=1080
Protocol=2
INI
fi

"$bin/korvan-server" --listen 127.0.0.1:3893 --words "$bin/korvan.lvk" --accounts "$accounts" "${server_flags[@]}" &
server=$!
sleep 0.5
"$bin/korvan" --service --config-dir "$demo/config" --app-dir "$bin" &
client=$!

stop() {
  trap - INT TERM
  echo
  echo "demo: stopping"
  kill -TERM "$client" 2>/dev/null || true
  wait "$client" 2>/dev/null || true
  kill -TERM "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  exit 0
}
trap stop INT TERM

sleep 1
cat <<TEXT

KORVAN is running.
  HTTP proxy:     127.0.0.1:3128    curl -x http://127.0.0.1:3128 http://example.com/
  SOCKS 4 proxy:  127.0.0.1:1080    curl --socks4a 127.0.0.1:1080 http://example.com/
  Browser:        set the HTTP proxy (and HTTPS) to 127.0.0.1 port 3128
  Account:        100000001 / demo, in $accounts
  Client log:     $bin/korvan.log      configuration: $demo/config/Korvan.ini
Press Ctrl-C to stop both.
TEXT
wait "$client" "$server" || true
stop
