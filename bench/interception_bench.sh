#!/bin/bash
# HTTPS interception side by side: tarnwick-headless ("HTTPS検査" ○) and Debian's
# Privoxy with its HTTPS filtering action, in front of one local nginx serving
# HTTPS with a certificate from a test CA that this script makes and both proxies
# trust (tarnwick through 検査用追加CA, Privoxy through trusted-cas-file). A
# benchmark, not a test: nothing passes or fails except a broken setup, a proxy that
# does not intercept, or a 100 MiB download that stalls or arrives changed (counted,
# and the run exits 1 after the table).
#   bench/interception_bench.sh [OPTIONS] BUILD_DIR
# BUILD_DIR holds a Release build's tarnwick-headless and tarnwick-settings (in app/
# or at its top).
#
# The client is bench/interception_load.c, built here with cc and libssl: every
# request is a new TCP connection to the proxy, a CONNECT, a new TLS handshake with
# what answers inside it (verified against that proxy's CA alone and the host's
# name, so an answer that was not intercepted fails), one GET with "Connection:
# close", and the answer read until the length it announced is in (200, 1 KiB). The client
# resumes TLS sessions as browsers do (each client thread offers the last session
# it was given; --no-resume offers none) and counts the handshakes that resumed.
# Intercepted requests go to https://localhost:PORT; 127.0.0.1 is excluded from
# interception in both proxies and serves as the plain-tunnel yardstick.
#
# Load: at each client count (16, 64) one run per proxy, the two taking turns and
# swapping who goes first every round, each after a short warm-up. Per run: answers
# per second, failures, and the proxy's CPU time (user + system of all its threads,
# /proc/PID/stat) over the run divided by its answers; the table shows medians over
# the rounds. tarnwick sends each answer 100 ms after the origin closed, so at c
# clients it cannot pass c / 0.1 s answers per second (the design limit); answers per
# second are therefore no measure of its speed, CPU per answer is.
# Time to the first byte: one client, one request at a time, ROUNDS rounds over five
# targets in turn (tarnwick intercepted and tunnelled, Privoxy intercepted and
# tunnelled, nginx straight), the first round a warm-up, so the host's certificate is
# cached by then; then again for the intercepted targets and nginx straight with every
# TLS handshake in full (no session offered). For each request the client times,
# from the start of its TCP connect to the proxy (or nginx): the CONNECT's "200"
# read, its TLS handshake done, the first byte of the answer read. Shown as medians.
# "Interception adds" is the intercepted median less nginx's straight median, and for
# tarnwick less its 100 ms hold too: what the CONNECT, the two TLS handshakes and the
# handling inside cost a cached host, end to end (the goal: under 5 ms). The same
# less the proxy's own tunnel is shown too.
# Download: curl fetches a 100 MiB random file over intercepted HTTPS through each
# proxy in turn (byte-exact check, MB/s with 1 MB = 10^6 bytes, the median; two
# minutes at most each), and the proxy's CPU seconds for it.
# Peak resident memory (VmHWM) after the load and after the downloads. The load
# average is printed at the start and the end.
#
# --perf instead samples tarnwick's CPU with `perf record -e cpu-clock` during
# one intercepted load run and prints its top functions (self and with children), the
# report kept beside the samples (see --out).
#
# Options:
#   --rounds N           load rounds per client count (3)
#   --seconds S          seconds per measured load run (8)
#   --warmup S           seconds of warm-up load before each run (2)
#   --clients "A B ..."  client counts ("16 64")
#   --ttfb-rounds N      rounds of the time to the first byte (61; the first is a warm-up)
#   --downloads N        100 MiB downloads per proxy (3)
#   --no-resume          the client never resumes a TLS session
#   --quick              1 round of 5 s, 21 TTFB rounds, 1 download: about 2 minutes
#   --keep               keep the work folder (logs, certificates, configurations)
#   --log                keep tarnwick's monitor output, in the kept work folder
#   --perf               the perf profile only
#   --perf-clients C     perf: clients (64)
#   --out DIR            perf: where the results stay (BUILD_DIR/interception-perf)
# Everything listens on 127.0.0.1 only. Needs nginx, curl, openssl, python3, cc and
# libssl-dev; installs privoxy (perf: linux-perf) from Debian when missing. About 4
# minutes with the defaults.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/local-nginx.sh"
. "$here/../scripts/bench-common.sh"

rounds=3
seconds=8
warmup=2
clients="16 64"
ttfb_rounds=61
downloads=3
resume=-R
keep=no
keep_log=no
mode=compare
perf_clients=64
perf_out=
build=
while [ $# -gt 0 ]; do
    case $1 in
    --rounds) rounds=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --warmup) warmup=$2; shift ;;
    --clients) clients=$2; shift ;;
    --ttfb-rounds) ttfb_rounds=$2; shift ;;
    --downloads) downloads=$2; shift ;;
    --no-resume) resume= ;;
    --quick) rounds=1; seconds=5; warmup=1; ttfb_rounds=21; downloads=1 ;;
    --keep) keep=yes ;;
    --log) keep_log=yes; keep=yes ;;
    --perf) mode=perf ;;
    --perf-clients) perf_clients=$2; shift ;;
    --out) perf_out=$2; shift ;;
    -h | --help) sed -n '2,/^set -eu/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option $1 (see --help)" >&2; exit 2 ;;
    *) build=$1 ;;
    esac
    shift
done
[ -n "$build" ] || { echo "usage: $0 [OPTIONS] BUILD_DIR (see --help)" >&2; exit 2; }
build=$(cd "$build" && pwd)
bin=$build/app
[ -x "$bin/tarnwick-headless" ] || bin=$build
require_tools /usr/sbin/nginx curl openssl python3 cc cmp "$bin/tarnwick-headless" "$bin/tarnwick-settings"

install_privoxy
[ "$mode" != perf ] || command -v perf >/dev/null 2>&1 || install_packages linux-perf

load_start=$(load_average)
echo "load average: $load_start ($(nproc) cores)"

use_all_descriptors 1024

work=$(mktemp -d)
tw_pid=
pv_pid=
cleanup() {
    stop_processes "$tw_pid" "$pv_pid" "${NGINX_PID:-}"
    if [ "$keep" = yes ]; then echo "work kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAIL: $*" >&2
    for _log in "$work/tarnwick.log" "$work/privoxy.log" "$work/error.log"; do
        [ -s "$_log" ] && { echo "--- $_log (last lines)" >&2; tail -n 15 "$_log" | cut -c1-300 >&2; }
    done
    exit 1
}

cc -O2 -o "$work/interception_load" "$here/interception_load.c" -lssl -lcrypto -lpthread ||
    fail "cannot build the client (is libssl-dev installed?)"
client=$work/interception_load

web_port=$(new_port)
tw_port=$(new_port)
pv_port=$(new_port)

# ---- certificates: the origin's test CA, Privoxy's CA ------------------------------

tls=$work/tls
mkdir -p "$tls" "$work/www" "$work/run" "$work/config" "$work/data"
make_origin_certificates "$tls" "interception bench origin CA" >"$work/openssl.log" ||
    fail "openssl cannot make the certificates: $(tail -n 3 "$work/openssl.log")"

# ---- nginx: the 1 KiB page and the 100 MiB file over HTTPS -------------------------

{
    printf '<!DOCTYPE html>\n<html><head><title>bench</title></head><body>\n<p>'
    head -c 2000 /dev/zero | tr '\0' 'x' | head -c 939
    printf '</p>\n</body></html>\n'
} >"$work/www/page.html"
[ "$(stat -c %s "$work/www/page.html")" -eq 1024 ] || fail "the page is not 1 KiB"
head -c $((100 * 1024 * 1024)) /dev/urandom >"$work/www/file.bin"
chmod 644 "$work/www/page.html" "$work/www/file.bin"
# Where localhost also means ::1, a proxy may try it first: nginx is there too.
listen6=
getent ahosts localhost | grep -q '^::1 ' && listen6="listen [::1]:$web_port ssl;"
export NGINX_WORKER_CONNECTIONS=1024
start_nginx "$work" "$web_port" "
        $listen6
        ssl_certificate $tls/origin.pem;
        ssl_certificate_key $tls/origin.key;
        ssl_session_cache shared:bench:1m;
        access_log off;" ssl || fail "nginx does not listen on $web_port"

# ---- tarnwick ----------------------------------------------------------------------

export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
{
    "$bin/tarnwick-settings" set Local_Port "$tw_port" &&
        "$bin/tarnwick-settings" set CONNECT △ &&
        "$bin/tarnwick-settings" set 検査用追加CA "$tls/origin-ca.pem" &&
        "$bin/tarnwick-settings" set 検査除外 127.0.0.1 &&
        "$bin/tarnwick-settings" set HTTPS検査 ○ &&
        "$bin/tarnwick-settings" ca export "$work/tarnwick-ca.pem"
} >/dev/null || fail "tarnwick-settings cannot set interception up"

# ---- Privoxy -----------------------------------------------------------------------

start_privoxy "$pv_port" "$tls/origin-ca.pem" 1 1024 "{+https-inspection}
/
{-https-inspection}
127.0.0.1"
start_tarnwick

# ---- the client's targets ------------------------------------------------------------

# NAME,PROXY-PORT,HOST,PORT,CA-FILE for interception_load.
target() {
    case $1 in
    tarnwick) echo "tarnwick,$tw_port,localhost,$web_port,$work/tarnwick-ca.pem" ;;
    privoxy) echo "privoxy,$pv_port,localhost,$web_port,$work/privoxy/ca/cacert.crt" ;;
    tarnwick-tunnel) echo "tarnwick-tunnel,$tw_port,127.0.0.1,$web_port,$tls/origin-ca.pem" ;;
    privoxy-tunnel) echo "privoxy-tunnel,$pv_port,127.0.0.1,$web_port,$tls/origin-ca.pem" ;;
    direct) echo "direct,0,127.0.0.1,$web_port,$tls/origin-ca.pem" ;;
    esac
}
pid_of() { if [ "$1" = tarnwick ]; then echo "$tw_pid"; else echo "$pv_pid"; fi; }
# The issuer, which has blanks: everything after "issuer=".
issuer_of() { echo "$1" | sed -n 's/.* issuer=//p'; }

# Both really intercept: each intercepted answer came with a certificate from that
# proxy's CA (the client trusts no other for it), each tunnelled one with nginx's own.
"$client" ttfb -r 3 $resume "$(target tarnwick)" "$(target privoxy)" "$(target tarnwick-tunnel)" \
    "$(target privoxy-tunnel)" "$(target direct)" >"$work/check.out" 2>"$work/check.err" ||
    fail "the client failed: $(cat "$work/check.err")"
for who in tarnwick privoxy tarnwick-tunnel privoxy-tunnel direct; do
    _line=$(grep "^TTFB name=$who " "$work/check.out")
    [ "$(field "$_line" failed)" = 0 ] && [ "$(field "$_line" n)" -gt 0 ] ||
        fail "$who: requests failed: $(head -c 600 "$work/check.err")"
    echo "  $who: answered, certificate issued by $(issuer_of "$_line")"
done
case $(issuer_of "$(grep '^TTFB name=tarnwick ' "$work/check.out")") in
*"$(openssl x509 -noout -subject -in "$work/tarnwick-ca.pem" | sed 's/.*CN *= *//')"*) ;;
*) fail "tarnwick's answer did not come with a certificate from its CA" ;;
esac
case $(issuer_of "$(grep '^TTFB name=privoxy ' "$work/check.out")") in
*"benchmark Privoxy CA"*) ;;
*) fail "Privoxy's answer did not come with a certificate from its CA" ;;
esac

# ---- perf ----------------------------------------------------------------------------

if [ "$mode" = perf ]; then
    out=${perf_out:-$build/interception-perf}
    mkdir -p "$out"
    out=$(cd "$out" && pwd)
    "$client" load -c "$perf_clients" -s "$warmup" -b 1024 $resume "$(target tarnwick)" >/dev/null
    # DWARF call graphs, since a Release build keeps no frame pointers; sampled
    # sparsely so that the stacks stay a few dozen MB.
    perf record -e cpu-clock -F 499 --call-graph dwarf,8192 -o "$out/perf.data" -p "$tw_pid" \
        2>"$out/perf-record.err" >/dev/null &
    perf_pid=$!
    sleep 1
    _cpu0=$(cpu_us "$tw_pid")
    _r=$("$client" load -c "$perf_clients" -s "$seconds" -b 1024 $resume "$(target tarnwick)" 2>/dev/null)
    _cpu1=$(cpu_us "$tw_pid")
    kill -INT "$perf_pid"
    wait "$perf_pid" || true
    _n=$(field "$_r" answers)
    report() {
        perf report -i "$out/perf.data" --stdio -g none "$@" 2>/dev/null | grep -E '^ +[0-9]' |
            sed 's/[ -]*$//'
    }
    {
        echo "tarnwick-headless under perf (cpu-clock): $_n intercepted answers of 1 KiB at $perf_clients clients in $seconds s," \
            "$(field "$_r" failed) failed, $(field "$_r" resumed) client handshakes resumed," \
            "$(awk -v c=$((_cpu1 - _cpu0)) -v n="$_n" 'BEGIN { printf "%.0f", (n > 0 ? c / n : 0) }') µs CPU per answer"
        echo
        echo "== top 30 by self =="
        report --no-children --sort dso,symbol | head -30
        echo
        echo "== the program's and OpenSSL's functions with what they call (top 40) =="
        report --children --sort symbol | grep -E 'Tarnwick::|SSL_|EVP_|X509|ossl_|tls_|ssl3_' | head -40
        echo
        echo "== by library =="
        report --no-children --sort dso | head -12
    } >"$out/top-functions.txt"
    cat "$out/top-functions.txt"
    echo "(perf report -i $out/perf.data for more)"
    exit 0
fi

# ---- load ----------------------------------------------------------------------------

# load WHO CLIENTS: one warmed-up run; appends "answers/s µs-per-answer failed
# resumed-% p50-ms" to work/WHO.CLIENTS and prints a line of progress.
load() {
    _who=$1 _c=$2 _pid=$(pid_of "$1")
    "$client" load -c "$_c" -s "$warmup" -b 1024 $resume "$(target "$_who")" >/dev/null 2>&1 || true
    sleep 0.5
    _cpu0=$(cpu_us "$_pid")
    _r=$("$client" load -c "$_c" -s "$seconds" -b 1024 $resume "$(target "$_who")" 2>>"$work/load.err") || true
    _cpu1=$(cpu_us "$_pid")
    [ -n "$_r" ] || fail "$_who: the client failed at $_c clients: $(tail -n 3 "$work/load.err")"
    _line=$(awk -v n="$(field "$_r" answers)" -v d="$(field "$_r" duration_us)" -v cpu=$((_cpu1 - _cpu0)) \
        -v f="$(field "$_r" failed)" -v res="$(field "$_r" resumed)" -v p50="$(field "$_r" p50_us)" \
        'BEGIN { printf "%.1f %s %d %.0f %.1f", n / (d / 1e6), (n > 0 ? sprintf("%.1f", cpu / n) : "nan"), f,
                        (n > 0 ? res * 100 / n : 0), p50 / 1000 }')
    echo "$_line" >>"$work/$_who.$_c"
    set -- $_line
    printf '  %-8s %3d clients: %6.0f answers/s, %5.0f µs CPU per answer, %d failed, %3.0f %% resumed, median %.1f ms (connect %s, CONNECT %s, TLS %s, I/O %s, answer %s)\n' \
        "$_who" "$_c" "$1" "$2" "$3" "$4" "$5" "$(field "$_r" connect)" "$(field "$_r" proxy)" \
        "$(field "$_r" tls)" "$(field "$_r" io)" "$(field "$_r" answer)"
    sleep 1
}

echo "load: $rounds round(s) of ${seconds} s (+${warmup} s warm-up) per proxy and client count," \
    "TLS sessions $([ -n "$resume" ] && echo resumed || echo never resumed) by the client"
round=1
while [ "$round" -le "$rounds" ]; do
    order=$(in_turn "$round" tarnwick privoxy)
    for c in $clients; do
        for who in $order; do
            load "$who" "$c"
        done
    done
    round=$((round + 1))
done
tw_load_peak=$(peak_kib "$tw_pid")
pv_load_peak=$(peak_kib "$pv_pid")

# ---- time to the first byte ---------------------------------------------------------

# ttfb OUT RESUME TARGET...: one ttfb run of the client; prints its progress lines.
ttfb() {
    _out=$1 _res=$2
    shift 2
    _targets=
    for _who in "$@"; do _targets="$_targets $(target "$_who")"; done
    # shellcheck disable=SC2086
    "$client" ttfb -r "$ttfb_rounds" $_res $_targets >"$work/$_out" 2>"$work/$_out.err" ||
        fail "the client failed: $(cat "$work/$_out.err")"
    for _who in "$@"; do
        _line=$(grep "^TTFB name=$_who " "$work/$_out")
        printf '  %-15s CONNECT answered %6s ms, TLS done %6s ms, first byte %7s ms, whole %7s ms; %s answers, %s failed, %s resumed\n' \
            "$_who" "$(ms "$_out" "$_who" established_us)" "$(ms "$_out" "$_who" secured_us)" \
            "$(ms "$_out" "$_who" first_us)" "$(ms "$_out" "$_who" done_us)" "$(field "$_line" n)" \
            "$(field "$_line" failed)" "$(field "$_line" resumed)"
    done
}
# ms FILE TARGET FIELD: a median of the ttfb run in FILE, in ms.
ms() { awk -v u="$(field "$(grep "^TTFB name=$2 " "$work/$1")" "$3")" 'BEGIN { printf "%.2f", u / 1000 }'; }

echo "time to the first byte: $ttfb_rounds rounds of one request to each target in turn (the first a warm-up)," \
    "the client $([ -n "$resume" ] && echo resuming || echo never resuming) TLS sessions"
ttfb ttfb.out "$resume" tarnwick tarnwick-tunnel privoxy privoxy-tunnel direct
echo "time to the first byte again, every handshake in full (no session offered)"
ttfb ttfb-full.out "" tarnwick privoxy direct

# ---- download -----------------------------------------------------------------------

echo "download: 100 MiB over intercepted HTTPS, $downloads round(s) per proxy"
round=1
while [ "$round" -le "$downloads" ]; do
    order=$(in_turn "$round" tarnwick privoxy)
    for who in $order; do
        _pid=$(pid_of "$who")
        _ca=$(target "$who" | cut -d, -f5)
        _port=$(target "$who" | cut -d, -f2)
        _cpu0=$(cpu_us "$_pid")
        _rc=0
        speed=$(env -u http_proxy -u HTTP_PROXY -u https_proxy -u HTTPS_PROXY -u all_proxy -u ALL_PROXY \
            -u no_proxy -u NO_PROXY curl -sS --max-time 120 -x "http://127.0.0.1:$_port" --cacert "$_ca" \
            -o "$work/got.bin" -w '%{speed_download}' "https://localhost:$web_port/file.bin" \
            2>"$work/curl.err") || _rc=$?
        _cpu=$(( $(cpu_us "$_pid") - _cpu0 ))
        if [ "$_rc" -ne 0 ]; then
            echo "  FAIL: $who: download $round ended with curl exit $_rc: $(head -c 200 "$work/curl.err")"
            echo "$who" >>"$work/download.failures"
        elif ! cmp -s "$work/www/file.bin" "$work/got.bin"; then
            echo "  FAIL: $who: download $round differs"
            echo "$who" >>"$work/download.failures"
        else
            echo "$speed" >>"$work/$who.speed"
            echo "$_cpu" >>"$work/$who.dlcpu"
            printf '  %-8s %7.1f MB/s, %.2f s CPU\n' "$who" "$(echo "$speed" | awk '{ print $1 / 1e6 }')" \
                "$(awk -v c="$_cpu" 'BEGIN { print c / 1e6 }')"
        fi
        rm -f "$work/got.bin"
    done
    round=$((round + 1))
done
tw_peak=$(peak_kib "$tw_pid")
pv_peak=$(peak_kib "$pv_pid")

# ---- the table ------------------------------------------------------------------------

col() { cut -d' ' -f"$2" "$work/$1" 2>/dev/null | grep -v nan | median; }
ratio() { awk -v t="$1" -v p="$2" 'BEGIN { if (p > 0 && t != "nan") printf "%.2f", t / p; else print "-" }'; }
echo
echo "| | tarnwick | Privoxy | tarnwick/Privoxy |"
echo "|---|---|---|---|"
for c in $clients; do
    t=$(col "tarnwick.$c" 1) p=$(col "privoxy.$c" 1)
    printf '| %d clients: intercepted answers/s | %.0f (%.0f %% of the design limit %d) | %.0f | %s |\n' \
        "$c" "$t" "$(awk -v r="$t" -v c="$c" 'BEGIN { print r * 100 / (c / 0.1) }')" $((c * 10)) "$p" "$(ratio "$t" "$p")"
    t=$(col "tarnwick.$c" 2) p=$(col "privoxy.$c" 2)
    printf '| %d clients: CPU per intercepted answer | %.0f µs | %.0f µs | %s |\n' "$c" "$t" "$p" "$(ratio "$t" "$p")"
    tf=$(awk '{ s += $3 } END { print s + 0 }' "$work/tarnwick.$c") pf=$(awk '{ s += $3 } END { print s + 0 }' "$work/privoxy.$c")
    printf '| %d clients: failed (all rounds) / client handshakes resumed | %d / %.0f %% | %d / %.0f %% | |\n' \
        "$c" "$tf" "$(col "tarnwick.$c" 4)" "$pf" "$(col "privoxy.$c" 4)"
done
# adds FILE WHO BASE HOLD: WHO's median first byte less BASE's and less HOLD ms.
adds() { awk -v i="$(ms "$1" "$2" first_us)" -v b="$(ms "$1" "$3" first_us)" -v h="$4" 'BEGIN { printf "%.2f", i - h - b }'; }
printf '| first byte, intercepted (cached host%s) | %s ms | %s ms | |\n' "$([ -n "$resume" ] && echo ', session resumed')" \
    "$(ms ttfb.out tarnwick first_us)" "$(ms ttfb.out privoxy first_us)"
printf '| first byte, intercepted, full handshake (cached host) | %s ms | %s ms | |\n' \
    "$(ms ttfb-full.out tarnwick first_us)" "$(ms ttfb-full.out privoxy first_us)"
printf '| first byte, tunnelled | %s ms | %s ms | (nginx straight: %s ms; full handshake %s ms) |\n' \
    "$(ms ttfb.out tarnwick-tunnel first_us)" "$(ms ttfb.out privoxy-tunnel first_us)" \
    "$(ms ttfb.out direct first_us)" "$(ms ttfb-full.out direct first_us)"
tw_add=$(adds ttfb.out tarnwick direct 100)
tw_add_full=$(adds ttfb-full.out tarnwick direct 100)
printf '| interception adds over nginx straight (tarnwick: less its 100 ms hold), resumed / full | %s / %s ms | %s / %s ms | |\n' \
    "$tw_add" "$tw_add_full" "$(adds ttfb.out privoxy direct 0)" "$(adds ttfb-full.out privoxy direct 0)"
printf '| interception adds over the same proxy'\''s tunnel (tarnwick: less 100 ms) | %s ms | %s ms | |\n' \
    "$(adds ttfb.out tarnwick tarnwick-tunnel 100)" "$(adds ttfb.out privoxy privoxy-tunnel 0)"
printf '| client TLS handshake with the proxy (CONNECT answered → TLS done), resumed / full | %.2f / %.2f ms | %.2f / %.2f ms | |\n' \
    "$(awk -v a="$(ms ttfb.out tarnwick secured_us)" -v b="$(ms ttfb.out tarnwick established_us)" 'BEGIN { print a - b }')" \
    "$(awk -v a="$(ms ttfb-full.out tarnwick secured_us)" -v b="$(ms ttfb-full.out tarnwick established_us)" 'BEGIN { print a - b }')" \
    "$(awk -v a="$(ms ttfb.out privoxy secured_us)" -v b="$(ms ttfb.out privoxy established_us)" 'BEGIN { print a - b }')" \
    "$(awk -v a="$(ms ttfb-full.out privoxy secured_us)" -v b="$(ms ttfb-full.out privoxy established_us)" 'BEGIN { print a - b }')"
tw_speed=$(median <"$work/tarnwick.speed" 2>/dev/null || echo nan)
pv_speed=$(median <"$work/privoxy.speed" 2>/dev/null || echo nan)
tw_dfail=$(grep -c tarnwick "$work/download.failures" 2>/dev/null || true)
pv_dfail=$(grep -c privoxy "$work/download.failures" 2>/dev/null || true)
printf '| 100 MiB intercepted download | %.1f MB/s%s | %.1f MB/s%s | %s |\n' \
    "$(awk -v s="$tw_speed" 'BEGIN { print s / 1e6 }')" "$([ "${tw_dfail:-0}" -gt 0 ] && echo ", $tw_dfail FAILED")" \
    "$(awk -v s="$pv_speed" 'BEGIN { print s / 1e6 }')" "$([ "${pv_dfail:-0}" -gt 0 ] && echo ", $pv_dfail FAILED")" \
    "$(ratio "$tw_speed" "$pv_speed")"
t=$(median <"$work/tarnwick.dlcpu" 2>/dev/null || echo nan) p=$(median <"$work/privoxy.dlcpu" 2>/dev/null || echo nan)
printf '| CPU for the 100 MiB download | %.2f s | %.2f s | %s |\n' \
    "$(awk -v c="$t" 'BEGIN { print c / 1e6 }')" "$(awk -v c="$p" 'BEGIN { print c / 1e6 }')" "$(ratio "$t" "$p")"
printf '| peak resident memory after the load / the downloads | %.1f / %.1f MiB | %.1f / %.1f MiB | |\n' \
    "$(awk -v k="$tw_load_peak" 'BEGIN { print k / 1024 }')" "$(awk -v k="$tw_peak" 'BEGIN { print k / 1024 }')" \
    "$(awk -v k="$pv_load_peak" 'BEGIN { print k / 1024 }')" "$(awk -v k="$pv_peak" 'BEGIN { print k / 1024 }')"
echo
echo "medians of $rounds load round(s) of $seconds s, $((ttfb_rounds - 1)) timed requests per target, $downloads download(s);" \
    "client TLS sessions $([ -n "$resume" ] && echo resumed || echo never resumed)"
echo "first byte: from the start of the TCP connect to the proxy (or nginx) to the first byte of the answer, one request at a time"
for c in $clients; do
    awk -v r="$(ratio "$(col "tarnwick.$c" 2)" "$(col "privoxy.$c" 2)")" -v c="$c" \
        'BEGIN { printf "goal: CPU per intercepted answer ≤ Privoxy'\''s at %d clients: %s (%s)\n", c, (r != "-" && r <= 1 ? "met" : "NOT met"), r }'
done
awk -v r="$(ratio "$tw_speed" "$pv_speed")" \
    'BEGIN { printf "goal: download speed ≥ Privoxy'\''s: %s (%s)\n", (r != "-" && r >= 1 ? "met" : "NOT met"), r }'
awk -v a="$tw_add" -v f="$tw_add_full" 'BEGIN { printf "goal: a cached host'\''s handshake adds under 5 ms (over nginx straight, less the hold): %s (%s ms resumed, %s ms full)\n", (a < 5 ? "met" : "NOT met"), a, f }'
echo "load average at the start: $load_start; at the end: $(load_average)"
if [ -s "$work/download.failures" ]; then
    echo "FAIL: $(wc -l <"$work/download.failures") of the 100 MiB downloads failed or differed (see above)" >&2
    exit 1
fi
