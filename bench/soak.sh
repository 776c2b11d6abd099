#!/bin/sh
# Soak of the relay: a long run of concurrent one-request connections through
# tarnwick-headless to a local nginx and to a scripted origin that answers in pieces,
# checking that every client gets status 200 and exactly its own answer's bytes, and
# watching the proxy's memory, descriptors and answer files as the slots wrap around.
#   bench/soak.sh BUILD_DIR [REQUESTS] [MINUTES] [soakload options...]
# BUILD_DIR holds app/tarnwick-headless and app/tarnwick-settings (a Release build,
# e.g. build/release). REQUESTS defaults to 100000, MINUTES to 60: the run ends at
# whichever comes first. Further options go to soakload.py run (--clients 40,
# --timeout 30, --slow-share 0.1, --echo-share 0.3, --report-every 10; nginx here takes
# at most 64 connections, so keep --clients under 60).
# Exits 0 only when every answer was right and no answer file was left behind.
# Needs nginx and python3. Everything listens and connects on 127.0.0.1 only.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/local-nginx.sh"

if [ $# -lt 1 ]; then
    sed -n '2,13s/^# \{0,1\}//p' "$0" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
shift
requests=${1:-100000}
[ $# -gt 0 ] && shift
minutes=${1:-60}
[ $# -gt 0 ] && shift
headless=$build/app/tarnwick-headless
settings=$build/app/tarnwick-settings
for tool in /usr/sbin/nginx python3 "$headless" "$settings"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "soak: $tool not found" >&2
        exit 2
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-soak.XXXXXX")
proxy_pid=
log_pid=
NGINX_PID=
cleanup() {
    if [ -n "$proxy_pid" ] && kill "$proxy_pid" 2>/dev/null; then
        wait "$proxy_pid" 2>/dev/null || true
    fi
    if [ -n "$log_pid" ]; then wait "$log_pid" 2>/dev/null || true; fi
    if [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null; then
        wait "$NGINX_PID" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

web_port=$(free_port)
proxy_port=$(free_port)
while [ "$proxy_port" = "$web_port" ]; do proxy_port=$(free_port); done

# Files of every size, plus an answer made for each request under /echo/ so that a
# client given another client's answer notices.
mkdir -p "$work/www" "$work/run" "$work/config"
python3 "$here/soakload.py" make-files "$work/www"
start_nginx "$work" "$web_port" \
    'location /echo/ { default_type text/plain; return 200 "echo $request_uri"; }' || {
    echo "soak: nginx does not listen on $web_port" >&2
    tail -n 20 "$work/error.log" >&2
    exit 1
}

# The proxy with a store of its own; its answer files appear in $work/run. It prints
# about 2 KB of monitor per request: only the last lines are kept, for a failure.
export XDG_CONFIG_HOME="$work/config"
"$settings" set Local_Port "$proxy_port"
mkfifo "$work/proxy.fifo"
tail -n 40 <"$work/proxy.fifo" >"$work/proxy.log" &
log_pid=$!
(cd "$work/run" && exec "$headless") >"$work/proxy.fifo" 2>&1 &
proxy_pid=$!
if ! wait_listening "$proxy_port"; then
    echo "soak: the proxy does not listen on $proxy_port" >&2
    kill "$proxy_pid" 2>/dev/null || true
    wait "$log_pid" || true
    tail -n 20 "$work/proxy.log" >&2
    exit 1
fi
echo "soak: nginx on 127.0.0.1:$web_port, proxy pid $proxy_pid on 127.0.0.1:$proxy_port, work in $work"

status=0
python3 "$here/soakload.py" run --proxy-port "$proxy_port" --web-port "$web_port" \
    --www "$work/www" --proxy-pid "$proxy_pid" --start-dir "$work/run" \
    --requests "$requests" --minutes "$minutes" "$@" || status=$?

# A proxy that died during the run, or does not end cleanly on SIGTERM, fails the soak.
if kill "$proxy_pid" 2>/dev/null; then
    proxy_status=0
    wait "$proxy_pid" || proxy_status=$?
    proxy_pid=
    if [ "$proxy_status" -ne 0 ]; then
        echo "soak: the proxy ended with status $proxy_status on SIGTERM"
        status=1
    fi
else
    echo "soak: the proxy was gone before the end"
    proxy_pid=
    status=1
fi
wait "$log_pid" || true
log_pid=
if [ "$status" -ne 0 ]; then
    echo "--- proxy output, last lines"
    tail -n 15 "$work/proxy.log"
    if [ -s "$work/error.log" ]; then
        echo "--- nginx error log, last lines"
        tail -n 5 "$work/error.log"
    fi
fi
exit "$status"
