#!/bin/sh
# End to end: a headless Chromium loads a site of several resources through the
# headless proxy, twice with one profile, from a local nginx and a scripted origin
# (scripted_origin.py), and browser_site.py checks what the browser, nginx and the
# origin saw: every resource relayed, scripts blanked (also on a page nginx would
# compress, and on a chunked one), no form of script run on a page of them all, no
# cookie stored, a multipart POST body intact, a long request head relayed whole,
# redirects, HEAD and 304 answers passed on.
# Usage: browser_site.sh TARNWICK-HEADLESS TARNWICK-SETTINGS
# Exits 77 (skipped) when chromium, nginx or python3 is missing. KEEP_WORK=1 keeps
# the work folder (logs, profile, what the origin got) for a look afterwards.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../../scripts/local-nginx.sh"

# Absolute, since the proxy starts in a directory of its own.
HEADLESS=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
SETTINGS=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
NGINX=/usr/sbin/nginx
CHROMIUM=${CHROMIUM:-chromium}
export CHROMIUM

require_tools "$NGINX" "$CHROMIUM" python3

WORK=$(mktemp -d)
NGINX_PID=
ORIGIN_PID=
PROXY_PID=
cleanup() {
    for pid in "$PROXY_PID" "$ORIGIN_PID" "$NGINX_PID"; do
        if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    done
    if [ -n "${KEEP_WORK:-}" ]; then echo "work kept in $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

show_logs() {
    for log in "$WORK/proxy.log" "$WORK/error.log" "$WORK/origin.log" "$WORK/chromium.log"; do
        if [ -s "$log" ]; then
            echo "--- $log (last lines)"
            grep -v -e dbus -e 'Fontconfig' "$log" | tail -n 15 | cut -c1-300
        fi
    done
}

fail() {
    echo "FAIL: $*"
    show_logs
    exit 1
}

WEB_PORT=$(free_port)
ORIGIN_PORT=$(free_port)
while [ "$ORIGIN_PORT" = "$WEB_PORT" ]; do ORIGIN_PORT=$(free_port); done
PROXY_PORT=$(free_port)
while [ "$PROXY_PORT" = "$WEB_PORT" ] || [ "$PROXY_PORT" = "$ORIGIN_PORT" ]; do PROXY_PORT=$(free_port); done

mkdir -p "$WORK/www" "$WORK/run" "$WORK/config" "$WORK/origin"
python3 "$HERE/browser_site.py" site "$WORK/www" "$WEB_PORT" "$ORIGIN_PORT"

# Revalidation on every load (no-cache with nginx's ETags), one page setting a
# cookie, a moved image, and compression for everything under /gz/ (gzip_types
# always holds text/html).
start_nginx "$WORK" "$WEB_PORT" "
        types { text/html html; text/css css; application/javascript js; image/png png; image/gif gif; }
        add_header Cache-Control no-cache;
        location = /cookie.html {
            add_header Cache-Control no-cache;
            add_header Set-Cookie \"tarnwick_e2e=stored; Path=/; Max-Age=3600\";
        }
        location = /old.png { return 301 /moved.png; }
        location /gz/ { gzip on; gzip_types text/css; gzip_min_length 1024; }" ||
    fail "nginx does not listen on $WEB_PORT"

python3 "$HERE/scripted_origin.py" "$ORIGIN_PORT" "$WORK/origin" "$WEB_PORT" >"$WORK/origin.log" 2>&1 &
ORIGIN_PID=$!
wait_listening "$ORIGIN_PORT" || fail "the scripted origin does not listen on $ORIGIN_PORT"

# The proxy with its default rules, POST and icon requests allowed (the form posts,
# and the browser may ask for a favicon).
export XDG_CONFIG_HOME="$WORK/config"
"$SETTINGS" set Local_Port "$PROXY_PORT" || fail "cannot store Local_Port"
"$SETTINGS" set POST ○ || fail "cannot store POST"
"$SETTINGS" set icoGET ○ || fail "cannot store icoGET"
(cd "$WORK/run" && exec "$HEADLESS") >"$WORK/proxy.log" 2>&1 &
PROXY_PID=$!
wait_listening "$PROXY_PORT" || fail "the proxy does not listen on $PROXY_PORT"

if python3 "$HERE/browser_site.py" run "$WORK" "$WEB_PORT" "$ORIGIN_PORT" "$PROXY_PORT"; then
    rc=0
else
    rc=$?
    show_logs
fi
exit "$rc"
