#!/bin/sh
# End to end: HTTPS through the headless proxy's CONNECT tunnel to a local nginx
# with a self-signed certificate for 127.0.0.1.
#   curl fetches 20 MiB of random bytes byte for byte, and the proxy reports the
#   tunnel's end with its byte counts;
#   a headless Chromium loads a page with its style sheet, image and script over TLS
#   (https_tunnel.py);
#   with CONNECT at its default (port 443 only) the tunnel to nginx's port is refused;
#   SIGTERM ends the proxy with status 0.
# Usage: https_tunnel.sh TARNWICK-HEADLESS TARNWICK-SETTINGS
# Exits 77 (skipped) when nginx, curl, openssl, python3 or chromium is missing.
# KEEP_WORK=1 keeps the work folder for a look afterwards.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../../scripts/local-nginx.sh"

# Absolute, since the proxy starts in a directory of its own.
HEADLESS=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
SETTINGS=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
NGINX=/usr/sbin/nginx
CHROMIUM=${CHROMIUM:-chromium}
FILE_BYTES=20971520

require_tools "$NGINX" curl openssl python3 "$CHROMIUM" cmp

WORK=$(mktemp -d)
NGINX_PID=
PROXY_PID=
cleanup() {
    for pid in "$PROXY_PID" "$NGINX_PID"; do
        if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    done
    if [ -n "${KEEP_WORK:-}" ]; then echo "work kept in $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAIL: $*"
    for log in "$WORK/proxy.log" "$WORK/error.log" "$WORK/chromium.log"; do
        if [ -s "$log" ]; then
            echo "--- $log (last lines)"
            grep -v -e dbus -e Fontconfig "$log" | tail -n 30 | cut -c1-300
        fi
    done
    exit 1
}

# "UP DOWN" for every tunnel to 127.0.0.1:PORT the proxy reported closed.
tunnel_closes() {
    awk -v host="WAN | Host : 127.0.0.1:$1" '
        /^WAN \| 【Tunnel : Close】/ { entry = 1; ours = 0; next }
        entry && $0 == host { ours = 1; next }
        entry && ours && /^WAN \| Up : / { up = $NF; next }
        entry && ours && /^WAN \| Down : / { print up, $NF; entry = 0; next }
        { if ($0 !~ /^WAN \| No\. : /) entry = 0 }' "$WORK/proxy.log"
}

# Waits up to ten seconds for the proxy to report COUNT closed tunnels to PORT.
wait_tunnel_closes() {
    _tries=0
    while [ "$(tunnel_closes "$1" | wc -l)" -lt "$2" ]; do
        _tries=$((_tries + 1))
        [ "$_tries" -le 100 ] || return 1
        sleep 0.1
    done
}

WEB_PORT=$(free_port)
PROXY_PORT=$(free_port)
while [ "$PROXY_PORT" = "$WEB_PORT" ]; do PROXY_PORT=$(free_port); done

mkdir -p "$WORK/www" "$WORK/run" "$WORK/config" "$WORK/tls"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 \
    -keyout "$WORK/tls/key.pem" -out "$WORK/tls/cert.pem" >"$WORK/openssl.log" 2>&1 ||
    fail "openssl cannot make a certificate: $(cat "$WORK/openssl.log")"
head -c "$FILE_BYTES" /dev/urandom >"$WORK/www/file.bin"
chmod 644 "$WORK/www/file.bin"
python3 "$HERE/https_tunnel.py" site "$WORK/www"

# TLS only; tls.log holds only what came over TLS.
start_nginx "$WORK" "$WEB_PORT" "
        types { text/html html; text/css css; application/javascript js; image/png png; application/octet-stream bin; }
        ssl_certificate $WORK/tls/cert.pem;
        ssl_certificate_key $WORK/tls/key.pem;
        access_log $WORK/tls.log combined if=\$https;" ssl ||
    fail "nginx does not listen on $WEB_PORT"

# Tunnels to any port, since nginx is not on 443.
export XDG_CONFIG_HOME="$WORK/config"
"$SETTINGS" set Local_Port "$PROXY_PORT" || fail "cannot store Local_Port"
"$SETTINGS" set CONNECT △ || fail "cannot store CONNECT"
(cd "$WORK/run" && exec "$HEADLESS") >"$WORK/proxy.log" 2>&1 &
PROXY_PID=$!
wait_listening "$PROXY_PORT" || fail "the proxy does not listen on $PROXY_PORT"

fetch() {
    env -u https_proxy -u HTTPS_PROXY -u all_proxy -u ALL_PROXY -u no_proxy -u NO_PROXY \
        curl -sS --max-time 60 -x "http://127.0.0.1:$PROXY_PORT" --cacert "$WORK/tls/cert.pem" \
        -o "$1" -w '%{http_code}' "https://127.0.0.1:$WEB_PORT/file.bin"
}

# curl: the download arrives whole, and the proxy's entry counts it.
status=$(fetch "$WORK/got.bin" 2>"$WORK/curl.err") || fail "curl failed: $(cat "$WORK/curl.err")"
[ "$status" = 200 ] || fail "file.bin answered $status"
cmp "$WORK/www/file.bin" "$WORK/got.bin" || fail "file.bin differs"
wait_tunnel_closes "$WEB_PORT" 1 || fail "no 【Tunnel : Close】 entry for 127.0.0.1:$WEB_PORT"
set -- $(tunnel_closes "$WEB_PORT")
# TLS adds its records and handshake: both directions carry more than the payload.
[ "$1" -gt 0 ] && [ "$2" -gt "$FILE_BYTES" ] ||
    fail "tunnel entry counts Up : $1, Down : $2 for a $FILE_BYTES-byte download"
echo "PASS: 20 MiB over TLS through the tunnel byte for byte (tunnel entry: Up $1, Down $2)"

# Chromium, as browser_site.py starts it, trusting this run's certificate.
cat >"$WORK/chromium" <<EOF
#!/bin/sh
exec $(command -v "$CHROMIUM") --ignore-certificate-errors "\$@"
EOF
chmod 755 "$WORK/chromium"
CHROMIUM="$WORK/chromium" python3 "$HERE/https_tunnel.py" run "$WORK" "$WEB_PORT" "$PROXY_PORT" ||
    fail "the browser's checks failed"
connects=$(grep -c "^LAN | Data : CONNECT 127.0.0.1:$WEB_PORT HTTP/1.1" "$WORK/proxy.log" || true)
[ "$connects" -ge 2 ] || fail "the browser's CONNECT never reached the proxy"
echo "PASS: the browser's tunnels went through the proxy"

# The default lets tunnels reach port 443 only.
"$SETTINGS" set CONNECT ○ || fail "cannot store CONNECT"
served=$(wc -l <"$WORK/tls.log")
if fetch "$WORK/refused.bin" 2>"$WORK/curl.err" >/dev/null; then rc=0; else rc=$?; fi
[ "$rc" -eq 56 ] && grep -q CONNECT "$WORK/curl.err" ||
    fail "CONNECT to port $WEB_PORT under ○: curl exit $rc, $(cat "$WORK/curl.err")"
[ "$(wc -l <"$WORK/tls.log")" -eq "$served" ] || fail "nginx served a refused tunnel"
echo "PASS: CONNECT ○ refuses a tunnel to port $WEB_PORT (curl: $(cat "$WORK/curl.err"))"

kill -TERM "$PROXY_PID"
if wait "$PROXY_PID"; then rc=0; else rc=$?; fi
PROXY_PID=
[ "$rc" -eq 0 ] || fail "the proxy exited with $rc"
echo "PASS: HTTPS tunnel end to end"
