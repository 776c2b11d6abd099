#!/bin/sh
# End to end: tarnwick-settings sets up the desktop and undoes it. A TLS nginx on
# loopback serves a page with a certificate from a test CA that only the proxy trusts
# (検査用追加CA), so a headless Chromium loads it without a certificate error only
# when the proxy intercepts it and Chromium trusts the proxy's CA. desktop_setup.py
# loads it after `ca trust` and `ca untrust` (Chromium told the proxy by flag), and
# after `desktop-proxy on` and `off` with no proxy flag at all: Chromium takes the
# proxy from GNOME's settings (a GNOME session, the GSettings keyfile backend in the
# test's own home). Debian's Firefox ESR, headless, makes its own profile on its first
# start, and loads the page with the proxy GNOME's setting names, after `ca trust`,
# `ca untrust` and `desktop-proxy off`, and a page of every form a script takes, over
# HTTPS and over plain HTTP (the same nginx on a second port).
# Usage: desktop_setup.sh TARNWICK-HEADLESS TARNWICK-SETTINGS
# Exits 77 (skipped) when nginx, openssl, certutil, gsettings, python3, chromium or
# firefox-esr is missing (scripts/setup.sh test installs them all). KEEP_WORK=1 keeps the work folder.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../../scripts/local-nginx.sh"

HEADLESS=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
SETTINGS=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
CHROMIUM=${CHROMIUM:-chromium}
FIREFOX=${FIREFOX:-firefox-esr}
require_tools /usr/sbin/nginx openssl certutil gsettings python3 "$CHROMIUM" "$FIREFOX"

WORK=$(mktemp -d)
NGINX_PID=
PROXY_PID=
cleanup() {
    stop_processes "$PROXY_PID" "$NGINX_PID"
    if [ -n "${KEEP_WORK:-}" ]; then echo "work kept in $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAIL: $*"
    for log in "$WORK/proxy.log" "$WORK/site/error.log" "$WORK/firefox.log"; do
        [ -s "$log" ] && { echo "--- $log (last lines)"; tail -n 30 "$log" | cut -c1-300; }
    done
    exit 1
}

# The origin's certificate, from a CA of the test's own.
TLS=$WORK/tls
mkdir -p "$TLS" "$WORK/site/www" "$WORK/run" "$WORK/home"
# nginx's workers drop root rights: the way to the site must be open to them.
chmod 755 "$WORK"
KEY="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
{
    openssl req -x509 $KEY -days 30 -subj "/CN=tarnwick e2e desktop CA" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign \
        -keyout "$TLS/ca.key" -out "$TLS/ca.pem" &&
        openssl req -new $KEY -subj "/CN=127.0.0.1" -keyout "$TLS/site.key" -out "$TLS/site.csr" &&
        printf 'subjectAltName=IP:127.0.0.1\n' >"$TLS/site.ext" &&
        openssl x509 -req -in "$TLS/site.csr" -CA "$TLS/ca.pem" -CAkey "$TLS/ca.key" -days 30 \
            -extfile "$TLS/site.ext" -out "$TLS/site.pem"
} >"$WORK/openssl.log" 2>&1 || fail "openssl cannot make the certificates: $(tail -n 5 "$WORK/openssl.log")"
printf '<!DOCTYPE html><html><head><title>through the proxy</title></head><body>page</body></html>\n' \
    >"$WORK/site/www/page.html"

# The same site over plain HTTP on a port of its own.
SITE_PORT=$(free_port)
PLAIN_PORT=$(free_port)
while [ "$PLAIN_PORT" = "$SITE_PORT" ]; do PLAIN_PORT=$(free_port); done
start_nginx "$WORK/site" "$SITE_PORT" \
    "listen 127.0.0.1:$PLAIN_PORT; types { text/html html; application/javascript js; }
     ssl_certificate $TLS/site.pem; ssl_certificate_key $TLS/site.key; location = /page.html { default_type text/html; }" \
    ssl || fail "nginx does not listen on $SITE_PORT"

# The whole of the user's world is the work folder: settings, data, the GSettings store,
# Chromium's NSS database.
export HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" XDG_DATA_HOME="$WORK/home/.local/share"
export GSETTINGS_BACKEND=keyfile XDG_CURRENT_DESKTOP=GNOME
PROXY_PORT=$(free_port)
while [ "$PROXY_PORT" = "$SITE_PORT" ]; do PROXY_PORT=$(free_port); done
"$SETTINGS" set Local_Port "$PROXY_PORT" >/dev/null || fail "cannot store Local_Port"
"$SETTINGS" set CONNECT △ >/dev/null || fail "cannot store CONNECT"
"$SETTINGS" set 検査用追加CA "$TLS/ca.pem" >/dev/null || fail "cannot store 検査用追加CA"
"$SETTINGS" set HTTPS検査 ○ >/dev/null || fail "cannot turn interception on"
(cd "$WORK/run" && exec "$HEADLESS") >"$WORK/proxy.log" 2>&1 &
PROXY_PID=$!
wait_listening "$PROXY_PORT" || fail "the proxy does not listen on $PROXY_PORT"

if CHROMIUM="$CHROMIUM" FIREFOX="$FIREFOX" python3 "$HERE/desktop_setup.py" "$WORK" "$SETTINGS" "$PROXY_PORT" "$SITE_PORT" "$PLAIN_PORT"; then
    rc=0
else
    rc=$?
    echo "--- proxy.log (last lines)"; tail -n 20 "$WORK/proxy.log" | cut -c1-300
fi
exit "$rc"
