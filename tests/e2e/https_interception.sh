#!/bin/sh
# End to end: HTTPS interception. One nginx serves the same small site on several
# loopback ports: over HTTPS with a certificate from a test CA that 検査用追加CA
# trusts, over plain HTTP, and as origins that must fail the proxy's checks (expired,
# another host's, self-signed, from a CA nobody trusts, TLS 1.0 only). The headless
# proxy intercepts with a CA of its own; https_interception.py runs the table of cases
# with curl, openssl s_client, a headless Chromium and python3-h2. One origin speaks
# HTTP/2 as well; one asks browsers for a user-agent hint.
# Usage: https_interception.sh TARNWICK-HEADLESS TARNWICK-SETTINGS
# Exits 77 (skipped) when nginx, curl, openssl, certutil, Debian's python3 with h2, or
# chromium is missing. KEEP_WORK=1 keeps the work folder for a look afterwards.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../../scripts/local-nginx.sh"

# Absolute, since the proxy starts in a directory of its own.
HEADLESS=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
SETTINGS=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
NGINX=/usr/sbin/nginx
CHROMIUM=${CHROMIUM:-chromium}

# Debian's, which has python3-h2, whatever python3 comes first in PATH.
PYTHON=/usr/bin/python3
require_tools "$NGINX" curl openssl certutil "$PYTHON" "$CHROMIUM"
if ! "$PYTHON" -c 'import h2' 2>/dev/null; then
    [ -n "${CI:-}" ] && { echo "FAIL: python3-h2 not installed, though the test setup installs it"; exit 1; }
    echo "SKIP: python3-h2 not installed"; exit 77
fi

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
    for log in "$WORK/proxy.log" "$WORK/error.log"; do
        [ -s "$log" ] && { echo "--- $log (last lines)"; tail -n 30 "$log" | cut -c1-300; }
    done
    exit 1
}

TLS=$WORK/tls
mkdir -p "$TLS" "$WORK/www" "$WORK/logs" "$WORK/run" "$WORK/config" "$WORK/data"
KEY="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"

# make_ca NAME: a CA of the tests' own.
make_ca() {
    openssl req -x509 $KEY -days 30 -subj "/CN=tarnwick e2e $1" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign \
        -keyout "$TLS/$1.key" -out "$TLS/$1.pem" >>"$WORK/openssl.log" 2>&1
}
# make_cert NAME SUBJECT-ALT-NAMES SIGNER [DAYS]: SIGNER is one of make_ca's CAs, or
# "self". DAYS -1 makes a certificate that expired the moment it was made.
make_cert() {
    if [ "$3" = self ]; then
        openssl req -x509 $KEY -days 30 -subj "/CN=$1" -addext "subjectAltName=$2" \
            -keyout "$TLS/$1.key" -out "$TLS/$1.pem" >>"$WORK/openssl.log" 2>&1
    else
        printf 'subjectAltName=%s\n' "$2" >"$TLS/$1.ext"
        openssl req -new $KEY -subj "/CN=$1" -keyout "$TLS/$1.key" -out "$TLS/$1.csr" \
            >>"$WORK/openssl.log" 2>&1 &&
            openssl x509 -req -in "$TLS/$1.csr" -CA "$TLS/$3.pem" -CAkey "$TLS/$3.key" \
                -days "${4:-30}" -extfile "$TLS/$1.ext" -out "$TLS/$1.pem" >>"$WORK/openssl.log" 2>&1
    fi
}
{
    make_ca testca && make_ca otherca &&
        make_cert good IP:127.0.0.1,DNS:localhost testca &&
        make_cert expired IP:127.0.0.1 testca -1 &&
        make_cert wronghost DNS:elsewhere.test testca &&
        make_cert selfsigned IP:127.0.0.1 self &&
        make_cert untrusted IP:127.0.0.1 otherca
} || fail "openssl cannot make the certificates: $(tail -n 5 "$WORK/openssl.log")"

"$PYTHON" "$HERE/https_interception.py" site "$WORK/www"
chmod 755 "$WORK" "$WORK/www"

# A free port that no origin has yet.
ports=""
new_port() {
    _port=$(free_port)
    while echo " $ports " | grep -q ":$_port "; do _port=$(free_port); done
    echo "$_port"
}
# server NAME CERTIFICATE [DIRECTIVES [LISTEN-OPTIONS]]: one origin; CERTIFICATE "-"
# serves plain HTTP.
# Each origin logs what the header rules leave of a request to logs/NAME.log.
server() {
    _port=$(new_port)
    ports="$ports $1:$_port"
    if [ "$2" = - ]; then _listen="127.0.0.1:$_port"; else _listen="127.0.0.1:$_port ssl${4:+ $4}"; fi
    cat <<EOF
    server {
        listen $_listen;
        root $WORK/www;
        access_log $WORK/logs/$1.log rules;
        location ~ \\.html\$ { add_header Set-Cookie "tarnwick_e2e=stored; Path=/"; }
        ${3:-}
EOF
    [ "$2" = - ] || printf '        ssl_certificate %s; ssl_certificate_key %s;\n' "$TLS/$2.pem" "$TLS/$2.key"
    echo "    }"
}
{
    cat <<EOF
daemon off;
worker_processes 1;
pid $WORK/nginx.pid;
error_log $WORK/error.log;
events { worker_connections 64; }
http {
    client_body_temp_path $WORK/tmp;
    proxy_temp_path $WORK/tmp;
    fastcgi_temp_path $WORK/tmp;
    uwsgi_temp_path $WORK/tmp;
    scgi_temp_path $WORK/tmp;
    types { text/html html; text/css css; application/javascript js; image/png png; application/octet-stream bin; }
    log_format rules '\$request|\$status|\$http_referer|\$http_user_agent|\$http_if_modified_since|\$http_cookie|\$http_connection|\$http_proxy_connection|\$http_accept_encoding|\$sent_http_content_encoding|\$server_protocol|\$connection|\$body_bytes_sent|\$http_sec_ch_ua|\$http_sec_ch_ua_mobile|\$http_sec_ch_ua_platform|\$http_sec_ch_ua_full_version_list';
EOF
    server good good
    server h2 good "" http2
    server h2bye good "keepalive_requests 2;" http2
    server plain -
    # Asks browsers for a user-agent hint they send only when asked.
    server hints good 'location = /page.html { add_header Accept-CH Sec-CH-UA-Full-Version-List always; }'
    server gzip good "gzip on; gzip_types text/html; gzip_min_length 1;"
    server expired expired
    server wronghost wronghost
    server selfsigned selfsigned
    server untrusted untrusted
    server tls10 good "ssl_protocols TLSv1; ssl_ciphers DEFAULT@SECLEVEL=0;"
    echo "}"
} >"$WORK/nginx.conf"
"$NGINX" -e "$WORK/error.log" -p "$WORK" -c "$WORK/nginx.conf" &
NGINX_PID=$!
for entry in $ports; do
    wait_listening "${entry#*:}" || fail "nginx does not listen for $entry"
done

# Tunnels to any port, since nginx is not on 443; turning interception on makes the CA.
PROXY_PORT=$(new_port)
export XDG_CONFIG_HOME="$WORK/config" XDG_DATA_HOME="$WORK/data"
"$SETTINGS" set Local_Port "$PROXY_PORT" >/dev/null || fail "cannot store Local_Port"
"$SETTINGS" set CONNECT △ >/dev/null || fail "cannot store CONNECT"
"$SETTINGS" set 検査用追加CA "$TLS/testca.pem" >/dev/null || fail "cannot store 検査用追加CA"
"$SETTINGS" set HTTPS検査 ○ >/dev/null || fail "cannot turn interception on"
"$SETTINGS" ca export "$WORK/tarnwick-ca.pem" || fail "cannot export the CA certificate"
# AddressSanitizer's quarantine keeps what was freed resident; a small one lets the
# slow-download row see the memory the proxy holds rather than what passed through it.
(cd "$WORK/run" && ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=16" \
    exec "$HEADLESS" --all-events) >"$WORK/proxy.log" 2>&1 &
PROXY_PID=$!
wait_listening "$PROXY_PORT" || fail "the proxy does not listen on $PROXY_PORT"

if CHROMIUM="$CHROMIUM" PROXY_PID=$PROXY_PID "$PYTHON" "$HERE/https_interception.py" run "$WORK" "$SETTINGS" "$PROXY_PORT" $ports; then
    rc=0
else
    rc=$?
    echo "--- proxy.log (last lines)"; tail -n 20 "$WORK/proxy.log" | cut -c1-300
fi
exit "$rc"
