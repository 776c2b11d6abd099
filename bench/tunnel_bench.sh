#!/bin/sh
# HTTPS download speed through the CONNECT tunnel, side by side with Debian's
# tinyproxy as the yardstick, then the proxy's peak memory for a 1 GiB tunnel.
#   bench/tunnel_bench.sh BUILD_DIR [MiB]
# BUILD_DIR holds tarnwick-headless and tarnwick-settings (in app/ or at its top; a
# Release build, e.g. build/release after `make build`). curl fetches an MiB-sized
# random file (100 by default) from a TLS nginx on loopback, through each proxy in
# turn, ROUNDS times each (5 by default), checks every copy byte for byte and prints
# curl's average download speed (MB/s = 10^6 bytes/s) as the median per proxy and
# the ratio tarnwick/tinyproxy. Then a fresh proxy carries 1 GiB through one tunnel,
# and its peak resident memory (VmHWM) is printed. Needs nginx, curl, openssl,
# python3; installs tinyproxy from Debian when it is missing.
set -eu
. "$(dirname "$0")/../scripts/local-nginx.sh"
. "$(dirname "$0")/../scripts/bench-common.sh"
build=$(cd "$1" && pwd)
size_mib=${2:-100}
rounds=${ROUNDS:-5}
big_mib=1024
limit_mib=64

bin=$build/app
[ -x "$bin/tarnwick-headless" ] || bin=$build
require_tools /usr/sbin/nginx curl openssl python3 cmp "$bin/tarnwick-headless" "$bin/tarnwick-settings"
if ! command -v tinyproxy >/dev/null 2>&1; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends tinyproxy
fi

work=$(mktemp -d)
proxy_pid=
tiny_pid=
cleanup() {
    stop_processes "$proxy_pid" "$tiny_pid" "${NGINX_PID:-}"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

web_port=$(free_port)
proxy_port=$(free_port)
tiny_port=$(free_port)
[ "$web_port" != "$proxy_port" ] && [ "$web_port" != "$tiny_port" ] && [ "$proxy_port" != "$tiny_port" ] ||
    { echo "port clash, run again"; exit 1; }

mkdir -p "$work/www" "$work/run" "$work/config" "$work/tls"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 \
    -keyout "$work/tls/key.pem" -out "$work/tls/cert.pem" 2>/dev/null
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >"$work/www/file.bin"
truncate -s "${big_mib}M" "$work/www/big.bin"
chmod 644 "$work/www/file.bin" "$work/www/big.bin"
start_nginx "$work" "$web_port" "
        ssl_certificate $work/tls/cert.pem;
        ssl_certificate_key $work/tls/key.pem;
        access_log off;" ssl

export XDG_CONFIG_HOME="$work/config"
"$bin/tarnwick-settings" set Local_Port "$proxy_port"
"$bin/tarnwick-settings" set CONNECT △
start_proxy() {
    (cd "$work/run" && exec "$bin/tarnwick-headless") >"$work/proxy.log" 2>&1 &
    proxy_pid=$!
    wait_listening "$proxy_port"
}
start_proxy

cat >"$work/tinyproxy.conf" <<EOF
Port $tiny_port
Listen 127.0.0.1
Allow 127.0.0.1
ConnectPort $web_port
LogLevel Warning
EOF
tinyproxy -d -c "$work/tinyproxy.conf" >"$work/tinyproxy.log" 2>&1 &
tiny_pid=$!
wait_listening "$tiny_port"

# fetch PROXY-PORT FILE [CURL-OPTION...]: the file through that proxy, to stdout
# unless the options say otherwise.
fetch() {
    _port=$1 _file=$2
    shift 2
    env -u https_proxy -u HTTPS_PROXY -u all_proxy -u ALL_PROXY -u no_proxy -u NO_PROXY \
        curl -sS --max-time 600 -x "http://127.0.0.1:$_port" --cacert "$work/tls/cert.pem" \
        "$@" "https://127.0.0.1:$web_port/$_file"
}

echo "HTTPS download of $size_mib MiB through a CONNECT tunnel, $rounds rounds each, alternating"
: >"$work/tarnwick.speeds"
: >"$work/tinyproxy.speeds"
round=1
while [ "$round" -le "$rounds" ]; do
    for who in tarnwick tinyproxy; do
        port=$proxy_port
        [ "$who" = tarnwick ] || port=$tiny_port
        speed=$(fetch "$port" file.bin -o "$work/got.bin" -w '%{speed_download}')
        cmp -s "$work/www/file.bin" "$work/got.bin" || { echo "FAIL: $who: round $round differs"; exit 1; }
        rm -f "$work/got.bin"
        echo "$speed" >>"$work/$who.speeds"
        printf '  round %d %-9s %8.1f MB/s\n' "$round" "$who" "$(echo "$speed" | awk '{ print $1 / 1e6 }')"
    done
    round=$((round + 1))
done
t=$(median <"$work/tarnwick.speeds")
y=$(median <"$work/tinyproxy.speeds")
awk -v t="$t" -v y="$y" 'BEGIN {
    printf "median: tarnwick %.1f MB/s, tinyproxy %.1f MB/s, ratio tarnwick/tinyproxy %.2f\n", t / 1e6, y / 1e6, t / y }'

# A fresh proxy, so that its peak memory is this one tunnel's.
kill "$proxy_pid"
wait "$proxy_pid" 2>/dev/null || true
start_proxy
start=$(date +%s.%N)
if fetch "$proxy_port" big.bin | cmp -s - "$work/www/big.bin"; then same=yes; else same=no; fi
end=$(date +%s.%N)
peak_kib=$(awk '/^VmHWM/ { print $2 }' "/proc/$proxy_pid/status")
awk -v t="$start" -v e="$end" -v p="$peak_kib" -v l="$limit_mib" -v m="$big_mib" -v same="$same" 'BEGIN {
    printf "%d MiB through one tunnel (byte-exact: %s): %.1f MB/s, proxy peak resident memory %.1f MiB (%s %d MiB)\n",
           m, same, m * 1048576 / (e - t) / 1e6, p / 1024, p / 1024 < l ? "under" : "NOT under", l }'
