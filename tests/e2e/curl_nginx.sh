#!/bin/sh
# End to end: curl fetches through the headless proxy from a local nginx.
#   a binary file of 3 MiB must arrive byte for byte;
#   an HTML page must arrive with its scripts blanked and its length unchanged;
#   SIGTERM, SIGHUP and SIGINT must each end the proxy with status 0 and no answer
#   file left behind.
# Usage: curl_nginx.sh TARNWICK-HEADLESS TARNWICK-SETTINGS
# Exits 77 (skipped) when nginx, curl or python3 is missing.
set -eu
. "$(dirname "$0")/../../scripts/local-nginx.sh"

HEADLESS=$1
SETTINGS=$2
NGINX=/usr/sbin/nginx

require_tools "$NGINX" curl python3 cmp

WORK=$(mktemp -d)
NGINX_PID=
PROXY_PID=
cleanup() {
    if [ -n "$PROXY_PID" ]; then kill "$PROXY_PID" 2>/dev/null || true; fi
    if [ -n "$NGINX_PID" ]; then kill "$NGINX_PID" 2>/dev/null || true; wait "$NGINX_PID" 2>/dev/null || true; fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAIL: $*"
    for log in "$WORK/proxy.log" "$WORK/error.log"; do
        if [ -f "$log" ]; then echo "--- $log (last lines)"; tail -n 30 "$log"; fi
    done
    exit 1
}

WEB_PORT=$(free_port)
PROXY_PORT=$(free_port)
while [ "$PROXY_PORT" = "$WEB_PORT" ]; do PROXY_PORT=$(free_port); done

# The web server's content, readable by nginx's workers, which drop root rights.
mkdir -p "$WORK/www" "$WORK/run" "$WORK/config"
{ printf '\000\377\200\r\n'; head -c 3145723 /dev/urandom; } >"$WORK/www/file.bin"
cat >"$WORK/www/page.html" <<'EOF'
<html><head><title>page</title>
<script>alert(1)</script>
</head><body><p>kept text</p>
<SCRIPT LANGUAGE="JavaScript">document.write("gone");</SCRIPT>
<p>tail</p></body></html>
EOF
chmod 644 "$WORK/www/file.bin" "$WORK/www/page.html"

start_nginx "$WORK" "$WEB_PORT" || fail "nginx does not listen on $WEB_PORT"

# The proxy, with a store of its own and its start directory in the work tree.
export XDG_CONFIG_HOME="$WORK/config"
"$SETTINGS" set Local_Port "$PROXY_PORT" || fail "cannot store Local_Port"
start_proxy() {
    (cd "$WORK/run" && exec "$HEADLESS") >"$WORK/proxy.log" 2>&1 &
    PROXY_PID=$!
    wait_listening "$PROXY_PORT" || fail "the proxy does not listen on $PROXY_PORT"
}
start_proxy

fetch() {
    env -u http_proxy -u HTTP_PROXY -u no_proxy -u NO_PROXY \
        curl -sS --max-time 30 -x "http://127.0.0.1:$PROXY_PORT" \
        -o "$2" -w '%{http_code}' "http://127.0.0.1:$WEB_PORT/$1"
}

status=$(fetch file.bin "$WORK/got.bin") || fail "curl failed for file.bin"
[ "$status" = 200 ] || fail "file.bin answered $status"
cmp "$WORK/www/file.bin" "$WORK/got.bin" || fail "file.bin differs"

status=$(fetch page.html "$WORK/got.html") || fail "curl failed for page.html"
[ "$status" = 200 ] || fail "page.html answered $status"
[ "$(wc -c <"$WORK/got.html")" -eq "$(wc -c <"$WORK/www/page.html")" ] || fail "page length changed"
grep -q '<ZZZZZZ>        </ZZZZZZ>' "$WORK/got.html" || fail "first script not blanked"
grep -q '<ZZZZZZ LANGUAGE="JavaScript">' "$WORK/got.html" || fail "second script tag not renamed"
if grep -q -e alert -e document.write -e gone "$WORK/got.html"; then fail "script text left"; fi
grep -q '<p>kept text</p>' "$WORK/got.html" || fail "page text changed"
grep -q '<p>tail</p></body></html>' "$WORK/got.html" || fail "page end changed"

# Ending: logout or service stop, closed terminal, Ctrl+C; each time exit status 0
# and no answer file left in the start directory.
for sig in TERM HUP INT; do
    [ -n "$PROXY_PID" ] || start_proxy
    kill -"$sig" "$PROXY_PID"
    if wait "$PROXY_PID"; then rc=0; else rc=$?; fi
    PROXY_PID=
    [ "$rc" -eq 0 ] || fail "the proxy exited with $rc on SIG$sig"
    leftovers=$(find "$WORK/run" -name '~tarnwick-temp-*')
    [ -z "$leftovers" ] || fail "answer files left after SIG$sig: $leftovers"
done

echo "PASS: 3 MiB binary relayed exactly, HTML filtered at the same length, clean end on each signal"
