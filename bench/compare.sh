#!/bin/bash
# Side-by-side benchmark of tarnwick-headless and Debian's tinyproxy as plain HTTP
# proxies in front of a local nginx. A benchmark, not a test: nothing here passes or
# fails except a broken setup or a corrupt download.
#   bench/compare.sh [OPTIONS] BUILD_DIR
# BUILD_DIR holds a Release build's tarnwick-headless and tarnwick-settings (in app/
# or at its top, e.g. build/release after `make build`).
#
# Load: wrk, one request per connection ("Connection: close") for a 1 KiB HTML page
# through each proxy, at each client count (64, 256, 512), the two proxies taking
# turns and swapping who goes first every round; each run has a short warm-up first.
# Per run: answers per second, answers that failed or were not 200, and the proxy's
# CPU time (user + system, /proc/PID/stat) over the run divided by its answers. The
# table shows the medians over the rounds and the failures summed. tarnwick sends each
# answer 100 ms after the server closed, so at c clients it can never pass c / 0.1 s
# answers per second (the design limit); its share of that limit is shown too.
# Then curl downloads a 100 MiB random file through each proxy (checked byte for byte,
# median MB/s, 1 MB = 10^6 bytes), and the peak resident memory (VmHWM) of each proxy
# over everything so far is read. Last, a fresh tarnwick carries 1 GiB and its peak
# resident memory must stay under 64 MiB. About 5 minutes with the defaults.
#
# --callgrind instead runs tarnwick-headless under valgrind's callgrind for a fixed
# number of 1 KiB answers and prints the instructions per answer (the run's total
# less an idle start and stop), and writes the top functions by inclusive and by
# self cost to a file beside the callgrind.out files (see --out).
#
# Options:
#   --rounds N           load rounds per client count (3)
#   --seconds S          seconds per measured load run (10)
#   --warmup S           seconds of warm-up load before each run (2)
#   --clients "A B ..."  client counts ("64 256 512")
#   --downloads N        100 MiB downloads per proxy (3)
#   --big-mib N          size of the tarnwick-only download (1024; 0 skips it)
#   --quick              1 round of 5 s, 1 download: about a minute and a half
#   --log                keep tarnwick's monitor output (it goes to /dev/null)
#   --callgrind          the callgrind run only
#   --answers N          callgrind: answers to count (2000)
#   --concurrency C      callgrind: parallel clients (16)
#   --out DIR            callgrind: where the results stay (BUILD_DIR/compare-callgrind)
# Everything listens on 127.0.0.1 only. Needs nginx, curl, python3, cmp; installs
# wrk and tinyproxy (and valgrind for --callgrind) from Debian when they are missing.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/local-nginx.sh"

rounds=3
seconds=10
warmup=2
clients="64 256 512"
downloads=3
big_mib=1024
keep_log=no
mode=compare
cg_answers=2000
cg_concurrency=16
cg_out=
build=
while [ $# -gt 0 ]; do
    case $1 in
    --rounds) rounds=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --warmup) warmup=$2; shift ;;
    --clients) clients=$2; shift ;;
    --downloads) downloads=$2; shift ;;
    --big-mib) big_mib=$2; shift ;;
    --quick) rounds=1; seconds=5; warmup=1; downloads=1 ;;
    --log) keep_log=yes ;;
    --callgrind) mode=callgrind ;;
    --answers) cg_answers=$2; shift ;;
    --concurrency) cg_concurrency=$2; shift ;;
    --out) cg_out=$2; shift ;;
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
require_tools /usr/sbin/nginx curl python3 cmp "$bin/tarnwick-headless" "$bin/tarnwick-settings"

install_missing() {
    _missing=
    for _pkg in "$@"; do
        command -v "$_pkg" >/dev/null 2>&1 || _missing="$_missing $_pkg"
    done
    [ -n "$_missing" ] || return 0
    _sudo=
    [ "$(id -u)" -eq 0 ] || _sudo=sudo
    $_sudo apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $_sudo apt-get install -y -qq --no-install-recommends $_missing
}
if [ "$mode" = callgrind ]; then
    install_missing valgrind
else
    install_missing wrk tinyproxy
fi

# 512 clients take two descriptors each in a proxy, and nginx and wrk need theirs.
hard=$(ulimit -Hn)
[ "$hard" = unlimited ] && hard=65536
[ "$hard" -ge 4096 ] || { echo "the hard limit on open files ($hard) is below 4096" >&2; exit 1; }
ulimit -n "$hard"
export NGINX_WORKER_CONNECTIONS=${NGINX_WORKER_CONNECTIONS:-4096}

work=$(mktemp -d)
tw_pid=
tiny_pid=
cleanup() {
    stop_processes "$tw_pid" "$tiny_pid" "${NGINX_PID:-}"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

web_port=$(free_port)
tw_port=$(free_port)
tiny_port=$(free_port)
[ "$web_port" != "$tw_port" ] && [ "$web_port" != "$tiny_port" ] && [ "$tw_port" != "$tiny_port" ] ||
    { echo "port clash, run again" >&2; exit 1; }

mkdir -p "$work/www" "$work/run" "$work/config"
{
    printf '<!DOCTYPE html>\n<html><head><title>bench</title></head><body>\n<p>'
    head -c 2000 /dev/zero | tr '\0' 'x' | head -c 939
    printf '</p>\n</body></html>\n'
} >"$work/www/page.html"
[ "$(stat -c %s "$work/www/page.html")" -eq 1024 ] || { echo "page is not 1 KiB" >&2; exit 1; }
start_nginx "$work" "$web_port" "access_log off;"
export XDG_CONFIG_HOME="$work/config"
"$bin/tarnwick-settings" set Local_Port "$tw_port"
page_url="http://127.0.0.1:$web_port/page.html"

# Waits up to SECONDS for a listener on PORT, for a proxy that starts slowly.
wait_long() {
    _n=$(( ($2 + 9) / 10 ))
    while [ "$_n" -gt 0 ]; do
        wait_listening "$1" && return 0
        _n=$((_n - 1))
    done
    return 1
}

median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# ---- callgrind -------------------------------------------------------------------

if [ "$mode" = callgrind ]; then
    out=${cg_out:-$build/compare-callgrind}
    mkdir -p "$out"
    out=$(cd "$out" && pwd)
    # cg_proxy NAME: tarnwick-headless under callgrind, its output file out/NAME.out.
    cg_proxy() {
        rm -f "$out/$1.out"
        (cd "$work/run" && exec valgrind --tool=callgrind --callgrind-out-file="$out/$1.out" \
            "$bin/tarnwick-headless") >"$work/$1.log" 2>&1 &
        tw_pid=$!
        wait_long "$tw_port" 120 || { echo "tarnwick-headless did not start under valgrind" >&2; cat "$work/$1.log" >&2; exit 1; }
    }
    cg_stop() {
        kill -TERM "$tw_pid"
        wait "$tw_pid" || true
        tw_pid=
    }
    # Total instructions (Ir) of a callgrind.out file.
    cg_total() {
        awk '/^(summary|totals):/ { print $2; exit }' "$1"
    }
    echo "callgrind: idle start and stop"
    cg_proxy idle
    cg_stop
    echo "callgrind: $cg_answers answers of 1 KiB, $cg_concurrency at a time"
    cg_proxy load
    i=0
    while [ "$i" -lt "$cg_answers" ]; do
        printf 'url = "%s"\noutput = "/dev/null"\n' "$page_url"
        i=$((i + 1))
    done >"$work/curl.conf"
    start=$(date +%s.%N)
    # --parallel-immediate: open a connection per transfer at once instead of
    # waiting for one to reuse.
    env -u http_proxy -u HTTP_PROXY -u all_proxy -u ALL_PROXY -u no_proxy -u NO_PROXY \
        curl -s --no-progress-meter --parallel --parallel-immediate --parallel-max "$cg_concurrency" \
        --max-time 120 -x "http://127.0.0.1:$tw_port" -H 'Connection: close' -w '%{http_code}\n' \
        -K "$work/curl.conf" >"$work/codes" 2>"$work/curl.err" || true
    end=$(date +%s.%N)
    cg_stop
    answers=$(grep -c '^200$' "$work/codes" || true)
    others=$(grep -vc '^200$' "$work/codes" || true)
    idle=$(cg_total "$out/idle.out")
    cg_load_ir=$(cg_total "$out/load.out")
    # top [FILTER] [ANNOTATE-OPTION]: the first 15 function lines of callgrind_annotate
    # whose line matches FILTER, each with its cost per answer in front.
    top() {
        callgrind_annotate ${2:+"$2"} "$out/load.out" 2>/dev/null |
            awk -v pat="$1" -v a="$answers" '
                /file:function/ { on = 1; getline; next }
                on && /^ *[0-9]/ && $0 ~ pat && n < 15 {
                    ir = $1; gsub(",", "", ir)
                    printf "%10.0f per answer  %s\n", (a > 0 ? ir / a : 0), $0; n++ }'
    }
    {
        echo "tarnwick-headless under callgrind: $answers answers of 1 KiB at $cg_concurrency clients"
        echo "instructions: loaded run $cg_load_ir, idle start and stop $idle"
        echo "(costs are of the whole loaded run, start and stop included; per answer = cost / answers)"
        echo
        echo "== top 15 by inclusive cost =="
        top "" --inclusive=yes
        echo
        echo "== top 15 of the program's own functions by inclusive cost =="
        top ":Tarnwick::" --inclusive=yes
        echo
        echo "== top 15 by self cost =="
        top ""
    } >"$out/top-functions.txt"
    echo "answers: $answers of $cg_answers 200 OK, $others otherwise, in $(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.0f", e - s }') s"
    [ ! -s "$work/curl.err" ] || { echo "curl said:"; sort "$work/curl.err" | uniq -c | head -5; }
    awk -v l="$cg_load_ir" -v i="$idle" -v a="$answers" 'BEGIN {
        printf "instructions: loaded %.0f, idle %.0f\n", l, i
        if (a > 0) printf "instructions per answer: %.0f\n", (l - i) / a }'
    echo "top functions: $out/top-functions.txt (callgrind_annotate $out/load.out for more)"
    sed -n '/== top 15 of the program/,/^$/p' "$out/top-functions.txt"
    exit 0
fi

# ---- side by side ----------------------------------------------------------------

start_tarnwick() {
    _log=/dev/null
    [ "$keep_log" = yes ] && _log=$work/tarnwick.log
    (cd "$work/run" && exec "$bin/tarnwick-headless") >>"$_log" 2>&1 &
    tw_pid=$!
    wait_listening "$tw_port" || { echo "tarnwick-headless did not start" >&2; exit 1; }
}
stop_tarnwick() {
    kill "$tw_pid"
    wait "$tw_pid" 2>/dev/null || true
    tw_pid=
}

cat >"$work/tinyproxy.conf" <<EOF
Port $tiny_port
Listen 127.0.0.1
Allow 127.0.0.1
LogLevel Warning
MaxClients 1024
Timeout 60
EOF
start_tarnwick
tinyproxy -d -c "$work/tinyproxy.conf" >"$work/tinyproxy.log" 2>&1 &
tiny_pid=$!
wait_listening "$tiny_port" || { echo "tinyproxy did not start" >&2; exit 1; }

# CPU time (user + system, and any waited-for children) of a process, in µs.
cpu_us() {
    sed 's/^.*) //' "/proc/$1/stat" |
        awk -v hz="$(getconf CLK_TCK)" '{ printf "%.0f\n", ($12 + $13 + $14 + $15) * 1e6 / hz }'
}
peak_kib() {
    awk '/^VmHWM/ { print $2 }' "/proc/$1/status"
}
pid_of() { if [ "$1" = tarnwick ]; then echo "$tw_pid"; else echo "$tiny_pid"; fi; }
port_of() { if [ "$1" = tarnwick ]; then echo "$tw_port"; else echo "$tiny_port"; fi; }

threads=$(nproc)
[ "$threads" -gt 2 ] && threads=2
# wrk PORT CLIENTS SECONDS: its RESULT line (see proxy_load.lua), empty when it failed.
wrk_run() {
    BENCH_TARGET=$page_url wrk -t"$threads" -c"$2" -d"$3"s --timeout 10s \
        -s "$here/proxy_load.lua" "http://127.0.0.1:$1/" 2>&1 | grep '^RESULT' || true
}
field() { echo "$1" | tr ' ' '\n' | awk -F= -v k="$2" '$1 == k { print $2 }'; }

# load WHO CLIENTS: one warmed-up run; appends "answers/s µs-per-answer failed non200" to
# work/WHO.CLIENTS and prints a line of progress.
load() {
    _who=$1 _c=$2 _pid=$(pid_of "$1") _port=$(port_of "$1")
    wrk_run "$_port" "$_c" "$warmup" >/dev/null
    sleep 0.5
    _cpu0=$(cpu_us "$_pid")
    _r=$(wrk_run "$_port" "$_c" "$seconds")
    _cpu1=$(cpu_us "$_pid")
    if [ -z "$_r" ]; then
        echo "  $_who, $_c clients: wrk failed"
        echo "0 nan $_c 0" >>"$work/$_who.$_c"
        return
    fi
    _n=$(field "$_r" requests)
    # A kept answer (no "Connection: close") costs wrk one read or write error on
    # the closed connection; only what is left over failed.
    set -- "$(field "$_r" read)" "$(field "$_r" write)" "$(field "$_r" kept)"
    _sock=$(( $1 + $2 - $3 ))
    [ "$_sock" -ge 0 ] || _sock=0
    _failed=$(( _sock + $(field "$_r" connect) + $(field "$_r" timeout) ))
    _non200=$(field "$_r" non200)
    _line=$(awk -v n="$_n" -v d="$(field "$_r" duration_us)" -v cpu=$((_cpu1 - _cpu0)) \
        -v f="$_failed" -v b="$_non200" \
        'BEGIN { printf "%.1f %s %d %d", n / (d / 1e6), (n > 0 ? sprintf("%.1f", cpu / n) : "nan"), f, b }')
    echo "$_line" >>"$work/$_who.$_c"
    set -- $_line
    printf '  %-9s %4d clients: %7.0f answers/s, %4.0f µs CPU per answer, %d failed, %d not 200' \
        "$_who" "$_c" "$1" "$2" "$3" "$4"
    printf ' (wrk errors: read %s, write %s, connect %s, timeout %s; answers left open %s)\n' \
        "$(field "$_r" read)" "$(field "$_r" write)" "$(field "$_r" connect)" "$(field "$_r" timeout)" \
        "$(field "$_r" kept)"
    sleep 1
}

echo "load: $rounds round(s) of ${seconds} s (+${warmup} s warm-up) per proxy and client count"
round=1
while [ "$round" -le "$rounds" ]; do
    order="tarnwick tinyproxy"
    [ $((round % 2)) -eq 0 ] && order="tinyproxy tarnwick"
    for c in $clients; do
        for who in $order; do
            load "$who" "$c"
        done
    done
    round=$((round + 1))
done

# fetch PROXY-PORT FILE [CURL-OPTION...]
fetch() {
    _port=$1 _file=$2
    shift 2
    env -u http_proxy -u HTTP_PROXY -u all_proxy -u ALL_PROXY -u no_proxy -u NO_PROXY \
        curl -sS --max-time 600 -x "http://127.0.0.1:$_port" "$@" "http://127.0.0.1:$web_port/$_file"
}

echo "download: 100 MiB, $downloads round(s) per proxy"
head -c $((100 * 1024 * 1024)) /dev/urandom >"$work/www/file.bin"
chmod 644 "$work/www/file.bin"
round=1
while [ "$round" -le "$downloads" ]; do
    order="tarnwick tinyproxy"
    [ $((round % 2)) -eq 0 ] && order="tinyproxy tarnwick"
    for who in $order; do
        speed=$(fetch "$(port_of "$who")" file.bin -o "$work/got.bin" -w '%{speed_download}')
        cmp -s "$work/www/file.bin" "$work/got.bin" || { echo "FAIL: $who: download $round differs" >&2; exit 1; }
        rm -f "$work/got.bin"
        echo "$speed" >>"$work/$who.speed"
        printf '  %-9s %8.1f MB/s\n' "$who" "$(echo "$speed" | awk '{ print $1 / 1e6 }')"
    done
    round=$((round + 1))
done
rm -f "$work/www/file.bin"

tw_peak=$(peak_kib "$tw_pid")
tiny_peak=$(peak_kib "$tiny_pid")

big_line=
if [ "$big_mib" -gt 0 ]; then
    echo "download: $big_mib MiB through a fresh tarnwick"
    stop_tarnwick
    start_tarnwick
    truncate -s "${big_mib}M" "$work/www/big.bin"
    chmod 644 "$work/www/big.bin"
    start=$(date +%s.%N)
    if fetch "$tw_port" big.bin | cmp -s - "$work/www/big.bin"; then same=yes; else same=no; fi
    end=$(date +%s.%N)
    big_peak=$(peak_kib "$tw_pid")
    big_line=$(awk -v t="$start" -v e="$end" -v p="$big_peak" -v m="$big_mib" -v same="$same" 'BEGIN {
        printf "%d MiB through tarnwick (byte-exact: %s): %.1f MB/s, peak resident memory %.1f MiB (%s 64 MiB)",
               m, same, m * 1048576 / (e - t) / 1e6, p / 1024, (p / 1024 < 64 ? "under" : "NOT under") }')
    echo "  $big_line"
fi

# ---- the table -------------------------------------------------------------------

# cell WHO CLIENTS: "N answers/s, X µs" from the medians, failures summed.
cell() {
    _f=$work/$1.$2
    _rate=$(cut -d' ' -f1 "$_f" | median)
    _cpu=$(cut -d' ' -f2 "$_f" | grep -v nan | median)
    _bad=$(awk '{ f += $3; b += $4 } END { print f, b }' "$_f")
    awk -v r="$_rate" -v u="$_cpu" -v c="$2" -v who="$1" -v bad="$_bad" 'BEGIN {
        split(bad, x, " ")
        s = sprintf("%.0f answers/s", r)
        if (who == "tarnwick") s = s sprintf(" (%.0f %% of the design limit of %d)", r * 100 / (c / 0.1), c / 0.1)
        s = s sprintf(", %.0f µs CPU per answer", u)
        if (x[1] + x[2] > 0) s = s sprintf(", %d failed, %d not 200", x[1], x[2])
        print s }'
}
cpu_median() { cut -d' ' -f2 "$work/$1.$2" | grep -v nan | median; }

echo
echo "| | tarnwick | tinyproxy |"
echo "|---|---|---|"
for c in $clients; do
    echo "| $c clients | $(cell tarnwick "$c") | $(cell tinyproxy "$c") |"
done
tw_speed=$(median <"$work/tarnwick.speed")
tiny_speed=$(median <"$work/tinyproxy.speed")
awk -v t="$tw_speed" -v y="$tiny_speed" 'BEGIN { printf "| 100 MiB download | %.1f MB/s | %.1f MB/s |\n", t / 1e6, y / 1e6 }'
awk -v t="$tw_peak" -v y="$tiny_peak" 'BEGIN { printf "| peak resident memory | %.1f MiB | %.1f MiB |\n", t / 1024, y / 1024 }'
echo
echo "medians of $rounds load round(s) of $seconds s and $downloads download(s); failures summed over the rounds"
for c in $clients; do
    awk -v t="$(cpu_median tarnwick "$c")" -v y="$(cpu_median tinyproxy "$c")" -v c="$c" \
        'BEGIN { if (y > 0) printf "tarnwick/tinyproxy CPU per answer at %d clients: %.2f\n", c, t / y }'
done
awk -v t="$tw_speed" -v y="$tiny_speed" 'BEGIN { if (y > 0) printf "tarnwick/tinyproxy download speed: %.2f\n", t / y }'
[ -z "$big_line" ] || echo "$big_line"
