#!/bin/bash
# Side-by-side benchmark of tarnwick-headless and Debian's tinyproxy as plain HTTP
# proxies in front of a local nginx. A benchmark, not a test: nothing here passes or
# fails except a broken setup or a 100 MiB download that stalls or arrives changed
# (counted, and the run exits 1 after the table).
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
# answers per second (the design limit); its share of that limit is shown too. The
# peak resident memory (VmHWM) of each proxy is read right after these rounds.
# Then curl downloads a 100 MiB random file through each proxy (checked byte for byte,
# median MB/s, 1 MB = 10^6 bytes; two minutes at most each), and the peak resident
# memory is read again.
# System calls: a fresh tarnwick, and the running tinyproxy, under `strace -c -f`
# while one client makes sequential one-request connections for the 1 KiB page,
# closing each once its answer is whole (as wrk does); prints the calls per answer
# and the most frequent calls.
# Flatness: a fresh tarnwick alone at 256 clients for consecutive load runs with no
# pause between them (one warm-up first); prints each run's CPU per answer, resident
# memory and open descriptors, and the last run's CPU per answer over the first's.
# Last, a fresh tarnwick carries a 1 GiB download from nginx and then another fresh
# one a 1 GiB upload (bench/upload_memory.sh, to bench/upload_origin.py, "POST" set to
# ○), each with its peak resident memory (limit 64 MiB) and byte-exactness. The load
# average is printed at the start and the end: the CPU figures mean little on a
# machine that is busy with something else. About 8 minutes with the defaults.
#
# --callgrind instead runs tarnwick-headless under valgrind's callgrind for a fixed
# number of 1 KiB answers and prints the instructions per answer (the run's total
# less an idle start and stop), and writes the top functions by inclusive and by
# self cost to a file beside the callgrind.out files (see --out).
#
# Options:
#   --rounds N           load rounds per client count (3)
#   --seconds S          seconds per measured load run, flatness runs too (8)
#   --warmup S           seconds of warm-up load before each run (2)
#   --clients "A B ..."  client counts ("64 256 512")
#   --downloads N        100 MiB downloads per proxy (3)
#   --syscall-answers N  sequential answers counted under strace (500; 0 skips)
#   --flat-rounds N      consecutive tarnwick runs at 256 clients (10; 0 skips)
#   --big-mib N          size of the tarnwick-only download and upload (1024; 0 skips)
#   --quick              1 round of 5 s, 1 download, 100 answers under strace, 3
#                        flatness runs: about two minutes and a half
#   --log                keep tarnwick's monitor output (it goes to /dev/null)
#   --callgrind          the callgrind run only
#   --answers N          callgrind: answers to count (2000)
#   --concurrency C      callgrind: parallel clients (16)
#   --out DIR            callgrind: where the results stay (BUILD_DIR/compare-callgrind)
# Everything listens on 127.0.0.1 only. Needs nginx, curl, python3, cmp, sha256sum;
# installs wrk, tinyproxy and strace (valgrind for --callgrind) from Debian when they
# are missing.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/local-nginx.sh"
. "$here/../scripts/bench-common.sh"

rounds=3
seconds=8
warmup=2
clients="64 256 512"
downloads=3
big_mib=1024
syscall_answers=500
flat_rounds=10
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
    --syscall-answers) syscall_answers=$2; shift ;;
    --flat-rounds) flat_rounds=$2; shift ;;
    --quick) rounds=1; seconds=5; warmup=1; downloads=1; syscall_answers=100; flat_rounds=3 ;;
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
require_tools /usr/sbin/nginx curl python3 cmp sha256sum "$bin/tarnwick-headless" "$bin/tarnwick-settings"

if [ "$mode" = callgrind ]; then
    install_packages valgrind
else
    install_packages wrk tinyproxy strace
fi

load_start=$(load_average)
echo "load average: $load_start ($(nproc) cores)"

# 512 clients take two descriptors each in a proxy, and nginx and wrk need theirs.
use_all_descriptors 4096
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

pid_of() { if [ "$1" = tarnwick ]; then echo "$tw_pid"; else echo "$tiny_pid"; fi; }
port_of() { if [ "$1" = tarnwick ]; then echo "$tw_port"; else echo "$tiny_port"; fi; }

threads=$(nproc)
[ "$threads" -gt 2 ] && threads=2
# wrk PORT CLIENTS SECONDS: its RESULT line (see proxy_load.lua), empty when it failed.
wrk_run() {
    BENCH_TARGET=$page_url wrk -t"$threads" -c"$2" -d"$3"s --timeout 10s \
        -s "$here/proxy_load.lua" "http://127.0.0.1:$1/" 2>&1 | grep '^RESULT' || true
}

# measure PID PORT CLIENTS: one load run of `seconds`; sets _r to wrk's RESULT line and
# _line to "answers/s µs-per-answer failed non200" ("0 nan CLIENTS 0" when wrk failed,
# and then returns 1).
measure() {
    _cpu0=$(cpu_us "$1")
    _r=$(wrk_run "$2" "$3" "$seconds")
    _cpu1=$(cpu_us "$1")
    if [ -z "$_r" ]; then
        _line="0 nan $3 0"
        return 1
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
}
# wrk's latency (request sent to answer read, mean and 99th percentile) and errors.
wrk_errors() {
    printf '(latency %.0f ms, 99 %% under %.0f ms; wrk errors: read %s, write %s, connect %s, timeout %s; answers left open %s)' \
        "$(awk -v u="$(field "$_r" latency_us)" 'BEGIN { print u / 1000 }')" \
        "$(awk -v u="$(field "$_r" p99_us)" 'BEGIN { print u / 1000 }')" \
        "$(field "$_r" read)" "$(field "$_r" write)" "$(field "$_r" connect)" "$(field "$_r" timeout)" \
        "$(field "$_r" kept)"
}

# load WHO CLIENTS: one warmed-up run; appends "answers/s µs-per-answer failed non200" to
# work/WHO.CLIENTS and prints a line of progress.
load() {
    _who=$1 _c=$2
    wrk_run "$(port_of "$_who")" "$_c" "$warmup" >/dev/null
    sleep 0.5
    if ! measure "$(pid_of "$_who")" "$(port_of "$_who")" "$_c"; then
        echo "  $_who, $_c clients: wrk failed"
        echo "$_line" >>"$work/$_who.$_c"
        return
    fi
    echo "$_line" >>"$work/$_who.$_c"
    set -- $_line
    printf '  %-9s %4d clients: %7.0f answers/s, %4.0f µs CPU per answer, %d failed, %d not 200 %s\n' \
        "$_who" "$_c" "$1" "$2" "$3" "$4" "$(wrk_errors)"
    sleep 1
}

echo "load: $rounds round(s) of ${seconds} s (+${warmup} s warm-up) per proxy and client count"
round=1
while [ "$round" -le "$rounds" ]; do
    order=$(in_turn "$round" tarnwick tinyproxy)
    for c in $clients; do
        for who in $order; do
            load "$who" "$c"
        done
    done
    round=$((round + 1))
done
tw_load_peak=$(peak_kib "$tw_pid")
tiny_load_peak=$(peak_kib "$tiny_pid")

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
    order=$(in_turn "$round" tarnwick tinyproxy)
    for who in $order; do
        # Two minutes is ample for 100 MiB; a download that stalls is counted and the
        # run goes on, so that the other figures still come out.
        _rc=0
        speed=$(fetch "$(port_of "$who")" file.bin --max-time 120 -o "$work/got.bin" \
            -w '%{speed_download}' 2>"$work/curl.err") || _rc=$?
        if [ "$_rc" -ne 0 ]; then
            echo "  FAIL: $who: download $round ended with curl exit $_rc: $(head -c 200 "$work/curl.err")"
            echo "$who" >>"$work/download.failures"
        elif ! cmp -s "$work/www/file.bin" "$work/got.bin"; then
            echo "  FAIL: $who: download $round differs"
            echo "$who" >>"$work/download.failures"
        else
            echo "$speed" >>"$work/$who.speed"
            printf '  %-9s %8.1f MB/s\n' "$who" "$(echo "$speed" | awk '{ print $1 / 1e6 }')"
        fi
        rm -f "$work/got.bin"
    done
    round=$((round + 1))
done
rm -f "$work/www/file.bin"

tw_peak=$(peak_kib "$tw_pid")
tiny_peak=$(peak_kib "$tiny_pid")

# ---- system calls per answer -------------------------------------------------------

# sequential PORT N: N one-request connections through the proxy on PORT, one after
# another, each closed once its whole answer is in; prints "ANSWERS FAILED".
sequential() {
    python3 - "$1" "$2" "$page_url" <<'PY'
import socket, sys
port, count, url = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
request = ("GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n"
           % (url, url.split("/")[2])).encode()
good = bad = 0
for _ in range(count):
    data, whole = b"", None
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(request)
            while whole is None or len(data) < whole:
                piece = s.recv(65536)
                if not piece:
                    break
                data += piece
                end = data.find(b"\r\n\r\n")
                if whole is None and end >= 0:
                    for line in data[:end].split(b"\r\n")[1:]:
                        name, _, value = line.partition(b":")
                        if name.strip().lower() == b"content-length":
                            whole = end + 4 + int(value)
    except (OSError, ValueError):
        pass
    if data.split(b" ", 2)[1:2] == [b"200"] and (whole is None or len(data) >= whole):
        good += 1
    else:
        bad += 1
print(good, bad)
PY
}

# syscalls WHO PID PORT: the calls PID's threads make while `sequential` runs;
# appends "calls-per-answer answers failed top-calls" to work/syscalls and prints it.
syscalls() {
    _out=$work/strace.$1
    : >"$work/strace.$1.err"
    strace -c -f -S calls -o "$_out" -p "$2" 2>"$work/strace.$1.err" &
    _strace=$!
    # strace says so on its standard error once it is attached to every thread.
    _n=50
    while [ "$_n" -gt 0 ] && ! grep -q attached "$work/strace.$1.err"; do sleep 0.1; _n=$((_n - 1)); done
    sleep 0.5
    _got=$(sequential "$3" "$syscall_answers")
    set -- "$1" "${_got% *}" "${_got#* }"
    kill -INT "$_strace"
    wait "$_strace" || true
    # Rows: % time, seconds, usecs/call, calls, [errors,] name; the total row is left out.
    awk -v who="$1" -v a="$2" -v f="$3" '
        $1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" {
            n += $4
            if (top < 6) { t = t sprintf("%s%s %.1f", (top ? ", " : ""), $NF, (a > 0 ? $4 / a : 0)); top++ } }
        END { printf "%s %.1f %d %d %s\n", who, (a > 0 ? n / a : 0), a, f, t }' "$_out" >>"$work/syscalls"
    tail -n 1 "$work/syscalls" | awk '{ who = $1; per = $2; a = $3; f = $4; $1 = $2 = $3 = $4 = ""; sub(/^ +/, "")
        printf "  %-9s %5.1f system calls per answer over %d answers (%d failed); most: %s\n", who, per, a, f, $0 }'
}

if [ "$syscall_answers" -gt 0 ]; then
    echo "system calls: $syscall_answers sequential answers of 1 KiB under strace -c -f"
    stop_tarnwick
    start_tarnwick
    syscalls tarnwick "$tw_pid" "$tw_port"
    syscalls tinyproxy "$tiny_pid" "$tiny_port"
fi

# ---- flatness over time ------------------------------------------------------------

flat_line=
if [ "$flat_rounds" -gt 0 ]; then
    echo "flatness: a fresh tarnwick alone, $flat_rounds consecutive runs of ${seconds} s at 256 clients"
    stop_tarnwick
    start_tarnwick
    wrk_run "$tw_port" 256 "$warmup" >/dev/null
    k=1
    while [ "$k" -le "$flat_rounds" ]; do
        measure "$tw_pid" "$tw_port" 256 || true
        # Memory and descriptors that grow from run to run would show a leak.
        _rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$tw_pid/status")
        _fds=$(ls "/proc/$tw_pid/fd" | wc -l)
        echo "$k $_line $_rss $_fds" >>"$work/flat"
        set -- $_line
        printf '  run %2d: %6.0f answers/s, %4.0f µs CPU per answer, %d failed, %d not 200, resident %.1f MiB, %d descriptors %s\n' \
            "$k" "$1" "$2" "$3" "$4" "$(awk -v k="$_rss" 'BEGIN { print k / 1024 }')" "$_fds" "$(wrk_errors)"
        k=$((k + 1))
    done
    flat_line=$(awk -v last="$flat_rounds" '
        NR == 1 { first = $3; rss0 = $6; fd0 = $7 } $1 == last { end = $3; rss1 = $6; fd1 = $7 }
        { bad += $4 + $5 }
        END { printf "flatness at 256 clients: run 1 %.1f µs, run %d %.1f µs CPU per answer, ratio %.2f; resident %.1f -> %.1f MiB, descriptors %d -> %d, %d failed or not 200",
                     first, last, end, (first > 0 ? end / first : 0), rss0 / 1024, rss1 / 1024, fd0, fd1, bad }' "$work/flat")
    echo "  $flat_line"
fi

# ---- 1 GiB through a fresh tarnwick, each way ---------------------------------------

big_line=
up_line=
if [ "$big_mib" -gt 0 ]; then
    echo "download: $big_mib MiB through a fresh tarnwick"
    stop_tarnwick
    start_tarnwick
    truncate -s "${big_mib}M" "$work/www/big.bin"
    chmod 644 "$work/www/big.bin"
    start=$(date +%s.%N)
    if fetch "$tw_port" big.bin --max-time 300 | cmp -s - "$work/www/big.bin"; then same=yes; else same=no; fi
    end=$(date +%s.%N)
    big_peak=$(peak_kib "$tw_pid")
    rm -f "$work/www/big.bin"
    big_line=$(awk -v t="$start" -v e="$end" -v p="$big_peak" -v m="$big_mib" -v same="$same" 'BEGIN {
        printf "%d MiB download through tarnwick (byte-exact: %s): %.1f MB/s, peak resident memory %.1f MiB (%s 64 MiB)",
               m, same, m * 1048576 / (e - t) / 1e6, p / 1024, (p / 1024 < 64 ? "under" : "NOT under") }')
    echo "  $big_line"
    stop_tarnwick
    echo "upload: $big_mib MiB through a fresh tarnwick (bench/upload_memory.sh)"
    TMPDIR=$work "$here/upload_memory.sh" "$build" "$big_mib" >"$work/upload.out" 2>&1 || true
    sed 's/^/  /' "$work/upload.out"
    up_line=$(grep 'MiB upload through tarnwick' "$work/upload.out" || echo "upload: no result (see above)")
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
tw_speed=$(cat "$work/tarnwick.speed" 2>/dev/null | median)
tiny_speed=$(cat "$work/tinyproxy.speed" 2>/dev/null | median)
tw_dfail=$(grep -c tarnwick "$work/download.failures" 2>/dev/null || true)
tiny_dfail=$(grep -c tinyproxy "$work/download.failures" 2>/dev/null || true)
awk -v t="$tw_speed" -v y="$tiny_speed" -v tf="${tw_dfail:-0}" -v yf="${tiny_dfail:-0}" 'BEGIN {
    printf "| 100 MiB download | %.1f MB/s%s | %.1f MB/s%s |\n", t / 1e6, (tf > 0 ? sprintf(", %d FAILED", tf) : ""),
           y / 1e6, (yf > 0 ? sprintf(", %d FAILED", yf) : "") }'
awk -v t="$tw_load_peak" -v y="$tiny_load_peak" \
    'BEGIN { printf "| peak resident memory after the load rounds | %.1f MiB | %.1f MiB |\n", t / 1024, y / 1024 }'
awk -v t="$tw_peak" -v y="$tiny_peak" \
    'BEGIN { printf "| peak resident memory after the downloads | %.1f MiB | %.1f MiB |\n", t / 1024, y / 1024 }'
if [ -s "$work/syscalls" ]; then
    awk '{ v[$1] = sprintf("%.1f (%d answers)", $2, $3) }
        END { printf "| system calls per answer (sequential) | %s | %s |\n", v["tarnwick"], v["tinyproxy"] }' "$work/syscalls"
fi
echo
echo "medians of $rounds load round(s) of $seconds s and $downloads download(s); failures summed over the rounds"
for c in $clients; do
    awk -v t="$(cpu_median tarnwick "$c")" -v y="$(cpu_median tinyproxy "$c")" -v c="$c" \
        'BEGIN { if (y > 0) printf "tarnwick/tinyproxy CPU per answer at %d clients: %.2f\n", c, t / y }'
done
awk -v t="$tw_speed" -v y="$tiny_speed" 'BEGIN { if (y > 0) printf "tarnwick/tinyproxy download speed: %.2f\n", t / y }'
if [ -s "$work/syscalls" ]; then
    awk '{ who = $1; $1 = $2 = $3 = $4 = ""; sub(/^ +/, ""); printf "most frequent calls per answer, %s: %s\n", who, $0 }' "$work/syscalls"
fi
[ -z "$flat_line" ] || echo "$flat_line"
[ -z "$big_line" ] || echo "$big_line"
[ -z "$up_line" ] || echo "$up_line"
echo "load average at the start: $load_start; at the end: $(load_average)"
if [ -s "$work/download.failures" ]; then
    echo "FAIL: $(wc -l <"$work/download.failures") of the 100 MiB downloads failed or differed (see above)" >&2
    exit 1
fi
