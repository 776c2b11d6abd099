#!/bin/sh
# Uploads a large request body (1 GiB by default) through tarnwick-headless to a
# scripted origin and reports the proxy's peak resident memory (VmHWM), the speed, and
# whether the body arrived byte for byte (the origin's SHA-256 and byte count against
# the file's).
#   bench/upload_memory.sh [--expect] BUILD_DIR [SIZE_MiB]
# BUILD_DIR holds tarnwick-headless and tarnwick-settings (in app/ or at its top; a
# Release build, e.g. build/release). The proxy runs with "POST" set to ○ and a store
# of its own; the origin is bench/upload_origin.py. curl sends the random file as a
# POST straight from the file ("--upload-file FILE -X POST": "--data-binary @FILE"
# reads it into memory first and refuses 1 GiB) and with no "Expect: 100-continue"
# (curl's own would wait a second for the interim answer); --expect keeps curl's
# header. The last line is the summary; the script exits 1 when the body did not
# arrive whole or unchanged. Needs curl, python3 and sha256sum. Everything listens and
# connects on 127.0.0.1 only.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/local-nginx.sh"

expect=no
if [ "${1:-}" = --expect ]; then
    expect=yes
    shift
fi
case ${1:-} in
-h | --help) sed -n '2,15s/^# \{0,1\}//p' "$0"; exit 0 ;;
'' | -*) echo "usage: $0 [--expect] BUILD_DIR [SIZE_MiB] (see --help)" >&2; exit 2 ;;
esac
build=$(cd "$1" && pwd)
size_mib=${2:-1024}
limit_mib=64
bin=$build/app
[ -x "$bin/tarnwick-headless" ] || bin=$build
require_tools curl python3 sha256sum "$bin/tarnwick-headless" "$bin/tarnwick-settings"

work=$(mktemp -d)
proxy_pid=
origin_pid=
cleanup() {
    stop_processes "$proxy_pid" "$origin_pid"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

origin_port=$(free_port)
proxy_port=$(free_port)
[ "$origin_port" != "$proxy_port" ] || { echo "port clash, run again" >&2; exit 1; }

mkdir -p "$work/run" "$work/config"
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >"$work/up.bin"
want=$(sha256sum "$work/up.bin" | cut -d' ' -f1)

python3 "$here/upload_origin.py" "$origin_port" >"$work/origin.log" 2>&1 &
origin_pid=$!
wait_listening "$origin_port" || { echo "the upload origin did not start" >&2; cat "$work/origin.log" >&2; exit 1; }

export XDG_CONFIG_HOME="$work/config"
"$bin/tarnwick-settings" set Local_Port "$proxy_port"
"$bin/tarnwick-settings" set POST ○
(cd "$work/run" && exec "$bin/tarnwick-headless") >/dev/null 2>&1 &
proxy_pid=$!
wait_listening "$proxy_port" || { echo "tarnwick-headless did not start" >&2; exit 1; }

if [ "$expect" = yes ]; then
    set -- -H 'Content-Type: application/octet-stream'
    expect_text="curl's Expect: 100-continue"
else
    set -- -H 'Content-Type: application/octet-stream' -H 'Expect:'
    expect_text="no Expect"
fi
# The body's spill file must be gone once the relay has ended; the relay closes the
# browser connection 100 ms after the answer has left.
rc=0
result=$(env -u http_proxy -u HTTP_PROXY -u all_proxy -u ALL_PROXY -u no_proxy -u NO_PROXY \
    curl -sS --max-time 900 -x "http://127.0.0.1:$proxy_port" "$@" -X POST --upload-file "$work/up.bin" \
    -o "$work/answer" -w '%{http_code} %{speed_upload} %{time_total}' \
    "http://127.0.0.1:$origin_port/up" 2>"$work/curl.err") || rc=$?
sleep 0.5
peak_kib=$(awk '/^VmHWM/ { print $2 }' "/proc/$proxy_pid/status")
left=$(find "$work/run" -maxdepth 1 -name '~tarnwick-temp-*' | wc -l)
# The answer may carry an interim "100 Continue" before the final one.
got_hash=$(awk 'NF == 2 && length($1) == 64 { print $1 }' "$work/answer" 2>/dev/null | tail -n 1)
got_bytes=$(awk 'NF == 2 && length($1) == 64 { print $2 }' "$work/answer" 2>/dev/null | tail -n 1)
set -- $result
status=${1:-000}
same=no
[ "$rc" -eq 0 ] && [ "$status" = 200 ] && [ "$got_hash" = "$want" ] && same=yes

echo "curl: exit $rc, HTTP $status, $expect_text"
[ ! -s "$work/curl.err" ] || sed 's/^/curl said: /' "$work/curl.err"
echo "origin received ${got_bytes:-?} of $((size_mib * 1024 * 1024)) bytes, sha256 ${got_hash:-none}"
echo "file's sha256 $want"
echo "spill files left in the proxy's directory: $left"
awk -v m="$size_mib" -v s="${2:-0}" -v t="${3:-0}" -v p="$peak_kib" -v l="$limit_mib" -v same="$same" \
    -v e="$expect_text" 'BEGIN {
    printf "%d MiB upload through tarnwick (%s; byte-exact: %s): %.1f MB/s in %.1f s, peak resident memory %.1f MiB (%s %d MiB)\n",
           m, e, same, s / 1e6, t, p / 1024, p / 1024 < l ? "under" : "NOT under", l }'
[ "$same" = yes ]
