#!/bin/sh
# Relays a large download (1 GiB by default) through tarnwick-headless from a local
# nginx and reports the proxy's peak resident memory and the throughput.
#   bench/relay_memory.sh BUILD_DIR [SIZE_MiB]
# BUILD_DIR holds app/tarnwick-headless and app/tarnwick-settings (a Release build,
# e.g. build/release after `make build`). Needs nginx and curl.
set -eu
. "$(dirname "$0")/../scripts/local-nginx.sh"
build=$(cd "$1" && pwd)
size_mib=${2:-1024}
work=$(mktemp -d)
cleanup() {
    [ -n "${proxy_pid:-}" ] && kill "$proxy_pid" 2>/dev/null || true
    [ -n "${NGINX_PID:-}" ] && kill "$NGINX_PID" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

web_port=$(free_port)
proxy_port=$(free_port)

mkdir -p "$work/www" "$work/run" "$work/config"
truncate -s "${size_mib}M" "$work/www/big.bin"
start_nginx "$work" "$web_port"
export XDG_CONFIG_HOME="$work/config"
"$build/app/tarnwick-settings" set Local_Port "$proxy_port"
(cd "$work/run" && exec "$build/app/tarnwick-headless") > "$work/headless.log" 2>&1 &
proxy_pid=$!
wait_listening "$proxy_port"

start=$(date +%s.%N)
curl -sS -x "http://127.0.0.1:$proxy_port" "http://127.0.0.1:$web_port/big.bin" -o "$work/got.bin"
end=$(date +%s.%N)
peak_kib=$(awk '/VmHWM/ {print $2}' "/proc/$proxy_pid/status")
got=$(stat -c %s "$work/got.bin")
want=$((size_mib * 1024 * 1024))
cmp -s "$work/got.bin" "$work/www/big.bin" && same=yes || same=no
echo "relayed ${got} of ${want} bytes (byte-exact: $same)"
echo "time $(echo "$end - $start" | bc) s, $(echo "scale=1; $size_mib / ($end - $start)" | bc) MiB/s end to end (store and forward)"
echo "proxy peak resident memory: $((peak_kib / 1024)) MiB"
