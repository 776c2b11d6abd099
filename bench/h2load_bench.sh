#!/bin/bash
# HTTP/2 load through HTTPS interception: requests per second and the proxy's CPU time
# per request for tarnwick-headless ("HTTPS検査" ○) beside Debian's mitmproxy
# (mitmdump), with nginx straight as the yardstick. A benchmark, not a test: nothing
# passes or fails except a broken setup or a proxy that does not intercept.
#   bench/h2load_bench.sh [OPTIONS] BUILD_DIR
# BUILD_DIR holds a Release build's tarnwick-headless and tarnwick-settings (in app/
# or at its top).
#
# One nginx serves https://localhost:PORT/1k.bin and /16k.bin with HTTP/2 where the
# client offers it, its certificate from a test CA made here, which both proxies
# trust (tarnwick through 検査用追加CA, mitmdump through
# ssl_verify_upstream_trusted_ca). The client is Debian's h2load. It has no proxy
# option, so bench/connect_forward.c, built here with cc, stands between: each
# connection h2load makes to it becomes a connection to the proxy, a "CONNECT
# localhost:PORT" and, on "200", bytes copied both ways. h2load is told the origin's
# URL and to connect to the forwarder instead (--connect-to), so its TLS names
# localhost (SNI, the proxy makes a certificate for it) and its requests carry
# localhost:PORT as their authority; it checks no certificate. Before the load, each
# proxy's certificate for localhost is checked through the forwarder to come from
# that proxy's CA.
#
# Load: for each file and each number of clients (h2load -c, each keeping -m
# requests in flight: streams over h2, pipelining over HTTP/1.1), one h2load run per
# target (tarnwick, mitmproxy, nginx straight), the targets taking turns and starting
# one later every round. A run has --requests requests, or by default as many as that
# target answered in --seconds in its warm-up runs (one or two before the rounds), so
# that the CPU time, which counts in 10 ms ticks, is timed as well for a fast target
# as for a slow one. Per run: requests per second (2xx answers over h2load's time),
# the protocol h2load negotiated, failures (failed, errored, timed out, not 2xx, or
# bodies short of the file's size), and the proxy's CPU time (user + system of all
# its threads, /proc/PID/stat) over the run divided by its 2xx answers, in µs; for
# nginx straight its worker's CPU likewise. The table shows medians over the rounds
# and tarnwick relative to mitmproxy. The forwarder's own CPU per request is printed
# per run.
# Protocols: h2 (the default) offers only h2 in ALPN; a target that answers with
# anything else is not loaded in that mode, and the table says which protocol it
# negotiated (none, or http/1.1). --h1 offers only http/1.1 (h2load --h1) to all.
#
# Options:
#   --rounds N          rounds (3)
#   --requests N        requests per run (as many as take about --seconds)
#   --seconds S         each target's runs sized to about S seconds (3)
#   --clients "A B .."  numbers of clients ("1 4 16")
#   --streams M         requests in flight per client (10)
#   --files "F .."      files to request, of 1k.bin 16k.bin ("1k.bin 16k.bin")
#   --h1                HTTP/1.1 instead of h2
#   --quick             1 round of runs of about 1 s
#   --keep              keep the work folder (logs, certificates, h2load's output)
#   --log               keep tarnwick's monitor output, in the kept work folder
# Everything listens on 127.0.0.1 only; HOME and the XDG folders are fresh ones in the
# work folder. Needs nginx, openssl, python3, cc; installs nghttp2-client (h2load)
# and mitmproxy from Debian when missing. About 5 minutes with the defaults.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/local-nginx.sh"
. "$here/../scripts/bench-common.sh"

rounds=3
requests=
seconds=3
clients="1 4 16"
streams=10
files="1k.bin 16k.bin"
proto=h2
keep=no
keep_log=no
build=
# shellcheck disable=SC2034 # start_tarnwick reads keep_log
while [ $# -gt 0 ]; do
    case $1 in
    --rounds) rounds=$2; shift ;;
    --requests) requests=$2; shift ;;
    --clients) clients=$2; shift ;;
    --streams) streams=$2; shift ;;
    --files) files=$2; shift ;;
    --h1) proto=http/1.1 ;;
    --seconds) seconds=$2; shift ;;
    --quick) rounds=1; seconds=1 ;;
    --keep) keep=yes ;;
    --log) keep_log=yes; keep=yes ;;
    -h | --help) sed -n '2,/^set -eu/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option $1 (see --help)" >&2; exit 2 ;;
    *) build=$1 ;;
    esac
    shift
done
[ -n "$build" ] || { echo "usage: $0 [OPTIONS] BUILD_DIR (see --help)" >&2; exit 2; }
for _f in $files; do
    case $_f in 1k.bin | 16k.bin) ;; *) echo "no file $_f (1k.bin, 16k.bin)" >&2; exit 2 ;; esac
done
build=$(cd "$build" && pwd)
bin=$build/app
[ -x "$bin/tarnwick-headless" ] || bin=$build
require_tools /usr/sbin/nginx openssl python3 cc "$bin/tarnwick-headless" "$bin/tarnwick-settings"

install_packages nghttp2-client mitmproxy
require_tools h2load mitmdump

load_start=$(load_average)
echo "load average: $load_start ($(nproc) cores)"

use_all_descriptors 1024

work=$(mktemp -d)
tw_pid=
mitm_pid=
tw_fwd_pid=
mitm_fwd_pid=
cleanup() {
    stop_processes "$tw_fwd_pid" "$mitm_fwd_pid" "$tw_pid" "$mitm_pid" "${NGINX_PID:-}"
    if [ "$keep" = yes ]; then echo "work kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAIL: $*" >&2
    for _log in "$work/tarnwick.log" "$work/mitmdump.log" "$work/forward.log" "$work/error.log"; do
        [ -s "$_log" ] && { echo "--- $_log (last lines)" >&2; tail -n 15 "$_log" | cut -c1-300 >&2; }
    done
    exit 1
}

# Nothing of the user's: settings, mitmproxy's folder and caches all stay in here.
mkdir -p "$work/home" "$work/config" "$work/data" "$work/cache" "$work/run" "$work/mitm" "$work/h2load"
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache"
# h2load and the checks reach everything directly.
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

cc -O2 -o "$work/connect_forward" "$here/connect_forward.c" -lpthread ||
    fail "cannot build the forwarder"

web_port=$(new_port)
tw_port=$(new_port)
mitm_port=$(new_port)
tw_fwd_port=$(new_port)
mitm_fwd_port=$(new_port)

# ---- certificates: the origin's test CA ---------------------------------------------

tls=$work/tls
mkdir -p "$tls" "$work/www"
make_origin_certificates "$tls" "h2load bench origin CA" >"$work/openssl.log" ||
    fail "openssl cannot make the certificates: $(tail -n 3 "$work/openssl.log")"

# ---- nginx: two small files over HTTPS, HTTP/2 where offered -------------------------

head -c 1024 /dev/urandom >"$work/www/1k.bin"
head -c 16384 /dev/urandom >"$work/www/16k.bin"
chmod 644 "$work/www/1k.bin" "$work/www/16k.bin"
# Where localhost also means ::1, a proxy may try it first: nginx is there too.
listen6=
getent ahosts localhost | grep -q '^::1 ' && listen6="listen [::1]:$web_port ssl http2;"
# A whole run on one connection: nginx would otherwise end it after 1000 requests.
export NGINX_WORKER_CONNECTIONS=1024
start_nginx "$work" "$web_port" "
        $listen6
        ssl_certificate $tls/origin.pem;
        ssl_certificate_key $tls/origin.key;
        keepalive_requests 1000000;
        keepalive_timeout 300s;
        access_log off;" "ssl http2" || fail "nginx does not listen on $web_port"
# The worker does the work; the master only waits for it.
nginx_worker=$(pgrep -P "$NGINX_PID" | head -n 1)
[ -n "$nginx_worker" ] || fail "nginx has no worker"

# ---- the proxies and their forwarders -------------------------------------------------

{
    "$bin/tarnwick-settings" set Local_Port "$tw_port" &&
        "$bin/tarnwick-settings" set CONNECT △ &&
        "$bin/tarnwick-settings" set 検査用追加CA "$tls/origin-ca.pem" &&
        "$bin/tarnwick-settings" set HTTPS検査 ○ &&
        "$bin/tarnwick-settings" ca export "$work/tarnwick-ca.pem"
} >/dev/null || fail "tarnwick-settings cannot set interception up"
start_tarnwick

# mitmdump makes its CA in its confdir on the first start; it checks the origin
# against the test CA.
mitmdump --listen-host 127.0.0.1 --listen-port "$mitm_port" --set confdir="$work/mitm" \
    --set ssl_verify_upstream_trusted_ca="$tls/origin-ca.pem" --set termlog_verbosity=warn \
    --set flow_detail=0 >"$work/mitmdump.log" 2>&1 &
mitm_pid=$!
wait_listening "$mitm_port" || fail "mitmdump did not start"
[ -s "$work/mitm/mitmproxy-ca-cert.pem" ] || fail "mitmdump made no CA"

"$work/connect_forward" "$tw_fwd_port" "$tw_port" "localhost:$web_port" 2>>"$work/forward.log" &
tw_fwd_pid=$!
"$work/connect_forward" "$mitm_fwd_port" "$mitm_port" "localhost:$web_port" 2>>"$work/forward.log" &
mitm_fwd_pid=$!
for _p in "$tw_fwd_port" "$mitm_fwd_port"; do wait_listening "$_p" || fail "a forwarder does not listen"; done

targets="tarnwick mitmproxy direct"
pid_of() {
    case $1 in
    tarnwick) echo "$tw_pid" ;;
    mitmproxy) echo "$mitm_pid" ;;
    direct) echo "$nginx_worker" ;;
    esac
}
fwd_pid_of() {
    case $1 in
    tarnwick) echo "$tw_fwd_pid" ;;
    mitmproxy) echo "$mitm_fwd_pid" ;;
    direct) echo "" ;;
    esac
}
fwd_port_of() {
    case $1 in
    tarnwick) echo "$tw_fwd_port" ;;
    mitmproxy) echo "$mitm_fwd_port" ;;
    direct) echo "$web_port" ;;
    esac
}
ca_of() {
    case $1 in
    tarnwick) echo "$work/tarnwick-ca.pem" ;;
    mitmproxy) echo "$work/mitm/mitmproxy-ca-cert.pem" ;;
    direct) echo "$tls/origin-ca.pem" ;;
    esac
}
label() {
    case $1 in
    tarnwick) echo tarnwick ;;
    mitmproxy) echo "mitmproxy $(dpkg-query -W -f='${Version}' mitmproxy 2>/dev/null | sed 's/-[^-]*$//')" ;;
    direct) echo "nginx straight" ;;
    esac
}

# Each proxy intercepts on the forwarder's path: the certificate it shows for the SNI
# localhost comes from its own CA and names localhost.
for who in $targets; do
    openssl s_client -connect "127.0.0.1:$(fwd_port_of "$who")" -servername localhost \
        -CAfile "$(ca_of "$who")" -verify_hostname localhost -verify_return_error </dev/null \
        >"$work/check.$who" 2>&1 || fail "$who: no certificate for localhost from its CA: $(grep -m1 -i 'verify\|error' "$work/check.$who")"
    echo "  $who: certificate for localhost issued by $(sed -n 's/^issuer=//p' "$work/check.$who" | head -n 1)"
done

# ---- h2load ---------------------------------------------------------------------------

if [ "$proto" = h2 ]; then alpn=--npn-list=h2; else alpn=--h1; fi

# h2load_run WHO FILE CLIENTS REQUESTS OUT: one h2load run to WHO, its output in OUT.
h2load_run() {
    # A stalled proxy must not hold the benchmark: h2load ends idle connections.
    timeout 600 h2load "$alpn" -n "$4" -c "$3" -m "$streams" -N 30s \
        --connect-to="127.0.0.1:$(fwd_port_of "$1")" "https://localhost:$web_port/$2" >"$5" 2>&1 || true
}
# h2load's figures from its output for answers of BYTES each: "SECONDS 2XX FAILED
# PROTOCOL"; failed counts requests not answered 2xx and answers' bodies short of BYTES.
h2load_figures() {
    awk -v size="$2" '
        /^finished in / {
            d = $3; sub(/,$/, "", d)
            if (d ~ /us$/) { sub(/us$/, "", d); s = d / 1e6 }
            else if (d ~ /ms$/) { sub(/ms$/, "", d); s = d / 1e3 }
            else { sub(/s$/, "", d); s = d + 0 }
        }
        /^requests: / { for (i = 2; i < NF; i++) if ($(i + 1) ~ /^(failed|errored|timeout),?$/) bad += $i; total = $2 }
        /^status codes: / { ok = $3 + 0 }
        /^traffic: / { data = $(NF - 1); gsub(/[()]/, "", data) }
        /^Application protocol: / { p = $3 }
        END {
            if (p == "") p = "none"
            failed = total > ok ? total - ok : bad
            if (data + 0 < ok * size) failed += int((ok * size - data + size - 1) / size)
            printf "%.6f %d %d %s\n", s, ok, failed, p
        }' "$1"
}
bytes_of() { case $1 in 1k.bin) echo 1024 ;; 16k.bin) echo 16384 ;; esac; }

# Each target speaks the protocol asked for, or is left out of the load.
loaded=
for who in $targets; do
    h2load_run "$who" 1k.bin 1 20 "$work/h2load/check.$who"
    # shellcheck disable=SC2046 # four figures
    set -- $(h2load_figures "$work/h2load/check.$who" 1024)
    if [ "$4" = "$proto" ] && [ "$2" -gt 0 ]; then
        loaded="$loaded $who"
        echo "  $who: $proto, $2 of 20 answered 2xx"
    else
        echo "$4" >"$work/$who.refused"
        echo "  $who: $proto NOT negotiated (protocol: $4; $2 of 20 answered 2xx): left out of the load$(
            grep -v '^requests:' "$work/h2load/check.$who" | grep -m1 -E 'No protocol|SSL|error' | sed 's/^/; h2load: /')"
    fi
done
[ -n "$loaded" ] || fail "no target speaks $proto"

# size WHO FILE CLIENTS: the requests of WHO's runs with FILE and CLIENTS, in
# work/n.WHO.FILE.CLIENTS: --requests, or as many as its rate in a run or two of
# warm-up gives in --seconds. CPU time counts in 10 ms ticks, so that a fast target's
# run must last a while to be timed.
size() {
    # At least four requests per stream, so that every stream is used a few times.
    _min=$(($3 * streams * 4))
    _n=$((_min > 1000 ? _min : 1000))
    _i=0
    while :; do
        h2load_run "$1" "$2" "$3" "$_n" "$work/h2load/warmup.$1.$2.$3"
        # shellcheck disable=SC2046 # four figures
        set -- "$1" "$2" "$3" $(h2load_figures "$work/h2load/warmup.$1.$2.$3" "$(bytes_of "$2")")
        [ "$5" -gt 0 ] || fail "$1: no answers in the warm-up with $2 at $3 clients: $(tail -n 3 "$work/h2load/warmup.$1.$2.$3")"
        [ -z "$requests" ] || { echo "$requests" >"$work/n.$1.$2.$3"; return; }
        # A run under 0.3 s is mostly handshakes: once more, longer.
        _i=$((_i + 1))
        if [ "$_i" -ge 3 ] || awk -v s="$4" 'BEGIN { exit !(s >= 0.3) }'; then break; fi
        _n=$(awk -v n="$5" -v s="$4" 'BEGIN { printf "%d", n / s * 0.5 }')
    done
    awk -v n="$5" -v s="$4" -v t="$seconds" -v min="$_min" \
        'BEGIN { n = int(n / s * t / 100) * 100; print (n > min ? n : min) }' >"$work/n.$1.$2.$3"
}

# load WHO FILE CLIENTS: one measured run; appends "req/s µs-per-request failed
# protocol forwarder-µs-per-request requests" to work/WHO.FILE.CLIENTS.
load() {
    _who=$1 _file=$2 _c=$3 _pid=$(pid_of "$1") _fpid=$(fwd_pid_of "$1") _n=$(cat "$work/n.$1.$2.$3")
    _out=$work/h2load/$_who.$_file.$_c.$round
    _f0=0
    [ -z "$_fpid" ] || _f0=$(cpu_us "$_fpid")
    _cpu0=$(cpu_us "$_pid")
    h2load_run "$_who" "$_file" "$_c" "$_n" "$_out"
    _cpu1=$(cpu_us "$_pid")
    _f1=0
    [ -z "$_fpid" ] || _f1=$(cpu_us "$_fpid")
    # shellcheck disable=SC2046 # four figures
    set -- $(h2load_figures "$_out" "$(bytes_of "$_file")")
    _line=$(awk -v s="$1" -v n="$2" -v f="$3" -v p="$4" -v cpu=$((_cpu1 - _cpu0)) -v fwd=$((_f1 - _f0)) \
        -v total="$_n" 'BEGIN { if (n > 0 && s > 0) printf "%.1f %.1f %d %s %.1f %d", n / s, cpu / n, f, p, fwd / n, total
                               else printf "nan nan %d %s nan %d", f, p, total }')
    echo "$_line" >>"$work/$_who.$_file.$_c"
    # shellcheck disable=SC2086 # six figures
    set -- $_line
    printf '  %-9s %-7s %2d×%-3d %7d requests, %6.0f req/s, %6.1f µs CPU per request%s, %d failed, %s\n' "$_who" "$_file" "$_c" \
        "$streams" "$6" "$1" "$2" "$([ "$_who" = direct ] && echo " (nginx)" || printf ' (forwarder %.1f µs)' "$5")" "$3" "$4"
    sleep 0.5
}

echo "warm-up$([ -n "$requests" ] || echo ", sizing each target's runs to about $seconds s"):$loaded"
for file in $files; do
    for c in $clients; do
        for who in $loaded; do size "$who" "$file" "$c"; done
    done
done
echo "load: $rounds round(s), $([ -n "$requests" ] && echo "$requests requests" || echo "about $seconds s") per run, $proto," \
    "clients: $clients, $streams in flight each, files: $files"
round=1
while [ "$round" -le "$rounds" ]; do
    # The targets take turns: each round starts one later.
    # shellcheck disable=SC2086 # a list of words
    set -- $loaded
    _k=$(((round - 1) % $#))
    order="$(echo "$loaded" | tr ' ' '\n' | grep . | tail -n +$((_k + 1))) $(echo "$loaded" | tr ' ' '\n' | grep . | head -n "$_k")"
    for file in $files; do
        for c in $clients; do
            for who in $order; do
                load "$who" "$file" "$c"
            done
        done
    done
    round=$((round + 1))
done

# ---- the table -------------------------------------------------------------------------

# col WHO FILE CLIENTS FIELD: the median over the rounds.
col() { cut -d' ' -f"$4" "$work/$1.$2.$3" 2>/dev/null | grep -v nan | median; }
# proto_of WHO FILE CLIENTS: the protocols its runs used, or what it refused with.
proto_of() {
    if [ -s "$work/$1.refused" ]; then echo "no $proto ($(cat "$work/$1.refused"))"; return; fi
    cut -d' ' -f4 "$work/$1.$2.$3" | sort -u | paste -sd/
}
failed() { if [ -s "$work/$1.$2.$3" ]; then awk '{ s += $3 } END { print s + 0 }' "$work/$1.$2.$3"; else echo -; fi; }
num() { awk -v v="$1" 'BEGIN { if (v == "nan" || v == "") print "-"; else printf "%.0f", v }'; }
ratio() { awk -v t="$1" -v p="$2" 'BEGIN { if (t != "nan" && t != "" && p != "nan" && p > 0) printf "%.2f", t / p; else print "-" }'; }
size_of() { case $1 in 1k.bin) echo "1 KiB" ;; 16k.bin) echo "16 KiB" ;; esac; }

echo
echo "| file, clients × in flight | protocol: tarnwick / mitmproxy / straight | req/s: tarnwick | $(label mitmproxy) | nginx straight | tarnwick/mitmproxy | CPU µs per request: tarnwick | mitmproxy | nginx (straight) | tarnwick/mitmproxy | failed: tarnwick / mitmproxy / straight |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
for file in $files; do
    for c in $clients; do
        tr=$(col tarnwick "$file" "$c" 1) mr=$(col mitmproxy "$file" "$c" 1) dr=$(col direct "$file" "$c" 1)
        tc=$(col tarnwick "$file" "$c" 2) mc=$(col mitmproxy "$file" "$c" 2) dc=$(col direct "$file" "$c" 2)
        printf '| %s, %d × %d | %s / %s / %s | %s | %s | %s | %s | %s | %s | %s | %s | %s / %s / %s |\n' \
            "$(size_of "$file")" "$c" "$streams" "$(proto_of tarnwick "$file" "$c")" \
            "$(proto_of mitmproxy "$file" "$c")" "$(proto_of direct "$file" "$c")" \
            "$(num "$tr")" "$(num "$mr")" "$(num "$dr")" "$(ratio "$tr" "$mr")" \
            "$(num "$tc")" "$(num "$mc")" "$(num "$dc")" "$(ratio "$tc" "$mc")" \
            "$(failed tarnwick "$file" "$c")" "$(failed mitmproxy "$file" "$c")" "$(failed direct "$file" "$c")"
    done
done
echo
echo "medians of $rounds round(s) of $([ -n "$requests" ] && echo "$requests requests" || echo "about $seconds s") per run ($proto offered, h2load's own TLS to each proxy;" \
    "CPU: user + system of the proxy's process, or of nginx's worker straight, over 2xx answers)"
echo "load average at the start: $load_start; at the end: $(load_average)"
