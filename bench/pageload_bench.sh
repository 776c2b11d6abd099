#!/bin/bash
# A page of forty resources in a real browser, through tarnwick beside the browser
# alone and beside two other intercepting proxies. A benchmark, not a test: nothing
# passes or fails except a broken setup (and a page, event stream or download that
# does not arrive whole, counted and shown).
#   bench/pageload_bench.sh [OPTIONS] BUILD_DIR
# BUILD_DIR holds a Release build's tarnwick-headless and tarnwick-settings (in app/
# or at its top).
#
# One nginx serves https://localhost:PORT/forty.html (24 images, 12 style sheets, 4
# scripts, about 1.4 MB; bench/pageload.py writes it) with a certificate from a test
# CA made here, every answer "Cache-Control: no-cache" so that a return visit always
# revalidates; like the web's origins it speaks HTTP/2 to a client that offers it and
# compresses HTML, style sheets and scripts (gzip). Headless Chromium, a fresh profile each time, with an NSS database
# under a HOME of its own trusting the CA its proxy presents, loads the page (cold),
# then the same page again in the same browser (warm). The time is the page's own
# Navigation Timing: from the start of the navigation to the end of the load event.
# Modes: direct (no proxy), tunnel (tarnwick, "HTTPS検査" ×), interception
# (tarnwick, "HTTPS検査" ○, the Script rule on: the scripts are taken out, so the
# page asks for 36 resources there), Privoxy with +https-inspection, mitmproxy
# (mitmdump). Rounds alternate: each round starts one mode later than the round
# before; a first round is a warm-up and is not counted. The table gives medians,
# and each proxy relative to direct.
# Event stream: bench/pageload.py's origin sends an event every 0.5 s (ten, then the
# answer ends); the time from the origin's send of the first event to its arrival at
# a Python client, direct and through each proxy.
# Download: curl fetches a 200 MiB random file over HTTPS (checked byte for byte)
# direct and through each proxy: time to the first byte (from the start, CONNECT
# and handshakes included), whole time, and the proxy's peak resident memory
# (VmHWM, over the whole run so far) read from /proc. A download still under way
# after --download-limit seconds is cut off and shown as such (mitmproxy, which
# holds a whole answer by default, takes minutes for 200 MiB).
#
# Links: with --link, the page loads (not the event stream and the download) run
# once per link, each through bench/linkemu.py standing for that link in front of the
# origin: the page's URL names the emulator's port, so the browser (direct) and every
# proxy reach nginx through it, with the link's round trip and rates; the browser and
# the proxies stay beside each other. A table per link and mode gives the medians,
# the ratio to direct and the bytes that crossed the link per load.
#
# Options:
#   --rounds N       counted rounds of page loads (7)
#   --link LINK      a link to load the page over (repeatable): RTT-MS/DOWN-MBIT/UP-MBIT,
#                    e.g. 50/20/5, or 0 for plain loopback (the default)
#   --links "LINK..."  the links at once, e.g. "0 50/20/5 100/10/2"
#   --download-mib N size of the download (200; 0 skips it)
#   --download-limit S  seconds a download may take (120)
#   --quick          3 rounds, a 50 MiB download
#   --keep           keep the work folder (logs, certificates, configurations)
#   --log            keep tarnwick's monitor output, in the kept work folder
# Everything listens on 127.0.0.1 and the browser sends only the name localhost to
# its proxy (see bench/pageload.py). Needs nginx, curl, openssl, python3, cmp;
# installs chromium, libnss3-tools, privoxy and mitmproxy from Debian when missing.
# About 6 minutes with the defaults.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/local-nginx.sh"
. "$here/../scripts/bench-common.sh"
. "$here/pageload_links.sh"

rounds=7
download_mib=200
download_limit=120
keep=no
keep_log=no
build=
links=
while [ $# -gt 0 ]; do
    case $1 in
    --rounds) rounds=$2; shift ;;
    --link) links="$links $2"; shift ;;
    --links) links=$2; shift ;;
    --download-mib) download_mib=$2; shift ;;
    --download-limit) download_limit=$2; shift ;;
    --quick) rounds=3; download_mib=50 ;;
    --keep) keep=yes ;;
    --log) keep_log=yes; keep=yes ;;
    -h | --help) sed -n '2,/^set -eu/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option $1 (see --help)" >&2; exit 2 ;;
    *) build=$1 ;;
    esac
    shift
done
# shellcheck disable=SC2086 # a list of words
check_links ${links:-0}
# shellcheck disable=SC2086,SC2116 # one space between words
links=$(echo ${links:-0})
[ -n "$build" ] || { echo "usage: $0 [OPTIONS] BUILD_DIR (see --help)" >&2; exit 2; }
build=$(cd "$build" && pwd)
bin=$build/app
[ -x "$bin/tarnwick-headless" ] || bin=$build
require_tools /usr/sbin/nginx curl openssl python3 cmp "$bin/tarnwick-headless" "$bin/tarnwick-settings"

install_packages chromium libnss3-tools mitmproxy
install_privoxy
export CHROMIUM=${CHROMIUM:-chromium}
require_tools "$CHROMIUM" certutil mitmdump

load_start=$(load_average)
echo "load average: $load_start ($(nproc) cores)"

work=$(mktemp -d)
tw_pid=
tw_tunnel_pid=
pv_pid=
mitm_pid=
events_pid=
cleanup() {
    stop_processes "$link_pid" "$tw_pid" "$tw_tunnel_pid" "$pv_pid" "$mitm_pid" "$events_pid" "${NGINX_PID:-}"
    if [ "$keep" = yes ]; then echo "work kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAIL: $*" >&2
    for _log in "$work/tarnwick.log" "$work/privoxy.log" "$work/mitmdump.log" "$work/error.log" "$work/events.log" \
        "$work/linkemu.log"; do
        [ -s "$_log" ] && { echo "--- $_log (last lines)" >&2; tail -n 15 "$_log" | cut -c1-300 >&2; }
    done
    exit 1
}

web_port=$(new_port)
events_port=$(new_port)
ic_port=$(new_port)
tunnel_port=$(new_port)
pv_port=$(new_port)
mitm_port=$(new_port)

# ---- certificates: the origin's test CA, Privoxy's CA ------------------------------

tls=$work/tls
mkdir -p "$tls" "$work/www" "$work/run" "$work/mitm"
make_origin_certificates "$tls" "pageload bench origin CA" >"$work/openssl.log" ||
    fail "openssl cannot make the certificates: $(tail -n 3 "$work/openssl.log")"

# ---- nginx: the page and the download; the event stream's origin -------------------

resources=$(python3 "$here/pageload.py" site "$work/www")
if [ "$download_mib" -gt 0 ]; then
    head -c $((download_mib * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"
    chmod 644 "$work/www/big.bin"
fi
# Where localhost also means ::1, a proxy may try it first: nginx is there too.
listen6=
getent ahosts localhost | grep -q '^::1 ' && listen6="listen [::1]:$web_port ssl http2;"
# As the web's origins do: HTTP/2 where the client offers it, text compressed.
start_nginx "$work" "$web_port" "
        $listen6
        ssl_certificate $tls/origin.pem;
        ssl_certificate_key $tls/origin.key;
        gzip on;
        gzip_types text/css application/javascript;
        add_header Cache-Control no-cache;
        types { text/html html; text/css css; application/javascript js; image/png png;
                application/octet-stream bin; }" "ssl http2" ||
    fail "nginx does not listen on $web_port"
python3 "$here/pageload.py" events "$events_port" "$tls/origin.pem" "$tls/origin.key" >"$work/events.log" 2>&1 &
events_pid=$!
wait_listening "$events_port" || fail "the event origin does not listen"

# ---- the proxies ---------------------------------------------------------------------

# tarnwick_instance NAME PORT SETTING=VALUE...: a tarnwick-headless with settings of
# its own under work/NAME; sets tw_pid.
tarnwick_instance() {
    _name=$1 _port=$2
    shift 2
    export XDG_CONFIG_HOME="$work/$_name/config" XDG_DATA_HOME="$work/$_name/data"
    mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME"
    "$bin/tarnwick-settings" set Local_Port "$_port" >/dev/null || fail "cannot set Local_Port"
    for _kv in "$@"; do
        "$bin/tarnwick-settings" set "${_kv%%=*}" "${_kv#*=}" >/dev/null || fail "cannot set $_kv"
    done
    # shellcheck disable=SC2034 # start_tarnwick waits on it
    tw_port=$_port
    start_tarnwick
}
# Only the intercepting one keeps its monitor output (--log).
keep_log_all=$keep_log
keep_log=no
tarnwick_instance tunnel "$tunnel_port" CONNECT=△ HTTPS検査=×
tw_tunnel_pid=$tw_pid
keep_log=$keep_log_all
# 検査用追加CA: the origin's test CA; Script ×: the rule that takes scripts out is on.
tarnwick_instance intercept "$ic_port" CONNECT=△ "検査用追加CA=$tls/origin-ca.pem" Script=× HTTPS検査=○
"$bin/tarnwick-settings" ca export "$work/tarnwick-ca.pem" >/dev/null || fail "cannot export tarnwick's CA"
unset XDG_CONFIG_HOME XDG_DATA_HOME

start_privoxy "$pv_port" "$tls/origin-ca.pem" 5 256 "{+https-inspection}
/"

# mitmdump makes its CA in its confdir on the first start; it checks the origin
# against the test CA.
mitmdump --listen-host 127.0.0.1 --listen-port "$mitm_port" --set confdir="$work/mitm" \
    --set ssl_verify_upstream_trusted_ca="$tls/origin-ca.pem" --set termlog_verbosity=warn \
    --set flow_detail=0 >"$work/mitmdump.log" 2>&1 &
mitm_pid=$!
wait_listening "$mitm_port" || fail "mitmdump did not start"
[ -s "$work/mitm/mitmproxy-ca-cert.pem" ] || fail "mitmdump made no CA"

modes="direct tunnel interception privoxy mitmproxy"
port_of() {
    case $1 in
    direct) echo "" ;;
    tunnel) echo "$tunnel_port" ;;
    interception) echo "$ic_port" ;;
    privoxy) echo "$pv_port" ;;
    mitmproxy) echo "$mitm_port" ;;
    esac
}
pid_of() {
    case $1 in
    tunnel) echo "$tw_tunnel_pid" ;;
    interception) echo "$tw_pid" ;;
    privoxy) echo "$pv_pid" ;;
    mitmproxy) echo "$mitm_pid" ;;
    esac
}
# The CA that the client meets in each mode.
ca_of() {
    case $1 in
    direct | tunnel) echo "$tls/origin-ca.pem" ;;
    interception) echo "$work/tarnwick-ca.pem" ;;
    privoxy) echo "$work/privoxy/ca/cacert.crt" ;;
    mitmproxy) echo "$work/mitm/mitmproxy-ca-cert.pem" ;;
    esac
}

# A HOME per mode whose NSS database trusts that mode's CA.
for mode in $modes; do
    nssdb=$work/home-$mode/.pki/nssdb
    mkdir -p "$nssdb"
    { certutil -d "sql:$nssdb" -N --empty-password &&
        certutil -d "sql:$nssdb" -A -t C,, -n "pageload $mode" -i "$(ca_of "$mode")"; } >>"$work/certutil.log" 2>&1 ||
        fail "certutil: $(tail -n 2 "$work/certutil.log")"
done

# carried: every proxy carries the page at all before anything is timed.
carried() {
    for mode in $modes; do
        _port=$(port_of "$mode")
        _got=$(env -u http_proxy -u HTTP_PROXY -u https_proxy -u HTTPS_PROXY -u all_proxy -u ALL_PROXY \
            -u no_proxy -u NO_PROXY curl -sS --max-time 20 ${_port:+-x "http://127.0.0.1:$_port"} \
            --cacert "$(ca_of "$mode")" -o /dev/null -w '%{http_code}' "$url" 2>&1) || true
        [ "$_got" = 200 ] || fail "$mode: the page is not carried: $_got"
    done
}

# ---- page loads ----------------------------------------------------------------------

# in_rotation N WORD...: the words starting at the N-th (from 0), round the end.
in_rotation() {
    _n=$1
    shift
    _k=$((_n % $#))
    _out=
    _i=0
    for _w in "$@"; do
        if [ "$_i" -ge "$_k" ]; then _out="$_out $_w"; fi
        _i=$((_i + 1))
    done
    _i=0
    for _w in "$@"; do
        if [ "$_i" -lt "$_k" ]; then _out="$_out $_w"; fi
        _i=$((_i + 1))
    done
    echo "$_out"
}

for link in $links; do
    start_link "$link"
    lname=$(link_name "$link")
    url=https://localhost:${page_port:?}/forty.html
    carried
    echo "page loads over $(link_label "$link"): a warm-up round and $rounds counted round(s) of $modes," \
        "$resources resources"
    round=0
    while [ "$round" -le "$rounds" ]; do
        # shellcheck disable=SC2086
        for mode in $(in_rotation "$round" $modes); do
            rm -rf "$work/profile"
            # shellcheck disable=SC2046 # no port for direct, no link on loopback: no word
            _line=$(python3 "$here/pageload.py" visit $(link_option) "$work/home-$mode" "$work/profile" \
                "$work/chromium.log" "$url" $(port_of "$mode") 2>>"$work/visit.err") || _line=
            if [ -z "$_line" ]; then
                echo "  $mode, round $round: the visit failed: $(tail -n 1 "$work/visit.err")"
                [ "$round" -eq 0 ] || echo "failed" >>"$work/$lname.$mode.failures"
                continue
            fi
            printf '  %-12s round %d: cold %7.1f ms, warm %7.1f ms, whole %s/%s, %s connections, %s requests%s\n' \
                "$mode" "$round" "$(field "$_line" cold)" "$(field "$_line" warm)" "$(field "$_line" cold_whole)" \
                "$(field "$_line" warm_whole)" "$(field "$_line" connections)" "$(field "$_line" requests)" \
                "$([ -z "$link_pid" ] || echo ", over the link cold: $(field "$_line" cold_down) B down," \
                    "$(field "$_line" cold_connections) connections")"
            [ "$round" -eq 0 ] || echo "$_line" >>"$work/$lname.$mode.visits"
        done
        round=$((round + 1))
    done
    stop_link
done

# ---- event stream --------------------------------------------------------------------

echo "event stream: $modes"
for mode in $modes; do
    # shellcheck disable=SC2046 # no port for direct: no word
    _line=$(python3 "$here/pageload.py" stream "$(ca_of "$mode")" localhost "$events_port" $(port_of "$mode") \
        2>"$work/stream.err") || _line=
    if [ -z "$_line" ]; then
        echo "  $mode: FAILED: $(tail -n 1 "$work/stream.err" | cut -c1-200)"
    else
        echo "$_line" >"$work/$mode.stream"
        printf '  %-12s first event %.3f s after it was sent, whole stream %.3f s\n' \
            "$mode" "$(field "$_line" first)" "$(field "$_line" whole)"
    fi
done

# ---- download ------------------------------------------------------------------------

if [ "$download_mib" -gt 0 ]; then
    echo "download: $download_mib MiB over HTTPS: $modes"
    for mode in $modes; do
        _port=$(port_of "$mode")
        _rc=0
        _w=$(env -u http_proxy -u HTTP_PROXY -u https_proxy -u HTTPS_PROXY -u all_proxy -u ALL_PROXY \
            -u no_proxy -u NO_PROXY curl -sS --max-time "$download_limit" ${_port:+-x "http://127.0.0.1:$_port"} \
            --cacert "$(ca_of "$mode")" -o "$work/got.bin" -w '%{time_starttransfer} %{time_total}' \
            "https://localhost:$web_port/big.bin" 2>"$work/curl.err") || _rc=$?
        _peak=
        [ -z "$_port" ] || _peak=$(peak_kib "$(pid_of "$mode")")
        if [ "$_rc" -eq 28 ]; then
            echo "cut=$download_limit peak=${_peak:-}" >"$work/$mode.download"
            echo "  $mode: not whole after $download_limit s$(awk -v k="$_peak" 'BEGIN { if (k != "") printf ", proxy peak resident %.1f MiB", k / 1024 }')"
        elif [ "$_rc" -ne 0 ]; then
            echo "  $mode: FAILED, curl exit $_rc: $(head -c 200 "$work/curl.err")"
        elif ! cmp -s "$work/www/big.bin" "$work/got.bin"; then
            echo "  $mode: FAILED, the file differs"
        else
            # shellcheck disable=SC2086 # two figures
            set -- $_w
            echo "first=$1 total=$2 peak=${_peak:-}" >"$work/$mode.download"
            printf '  %-12s first byte %.3f s, whole %.2f s%s\n' "$mode" "$1" "$2" \
                "$(awk -v k="$_peak" 'BEGIN { if (k != "") printf ", proxy peak resident %.1f MiB", k / 1024 }')"
        fi
        rm -f "$work/got.bin"
    done
fi

# ---- the table -----------------------------------------------------------------------

# col MODE KEY: the median of KEY over MODE's counted visits over the link $table_link.
table_link=loopback
col() {
    [ -s "$work/$table_link.$1.visits" ] || { echo nan; return; }
    while read -r _l; do field "$_l" "$2"; done <"$work/$table_link.$1.visits" | median
}
# sum MODE KEY
sum() {
    [ -s "$work/$table_link.$1.visits" ] || { echo 0; return; }
    while read -r _l; do field "$_l" "$2"; done <"$work/$table_link.$1.visits" | awk '{ s += $1 } END { print s + 0 }'
}
visits() { if [ -s "$work/$table_link.$1.visits" ]; then wc -l <"$work/$table_link.$1.visits"; else echo 0; fi; }
from_file() { [ -s "$work/$1" ] && field "$(cat "$work/$1")" "$2" || echo nan; }
version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null | sed 's/-[^-]*$//'; }

d_cold=$(col direct cold)
d_warm=$(col direct warm)
# cell MODE KEY DIRECT: "1.23× (456 ms)", or the time alone for direct.
cell() {
    _v=$(col "$1" "$2")
    if [ "$1" = direct ]; then
        awk -v v="$_v" 'BEGIN { if (v == "nan") print "-"; else printf "%.0f ms", v }'
    else
        awk -v v="$_v" -v d="$3" 'BEGIN { if (v == "nan" || d == "nan" || d <= 0) print "-"; else printf "%.2f× (%.0f ms)", v / d, v }'
    fi
}
row() {
    printf '| %s |' "$1"
    shift
    for _c in "$@"; do printf ' %s |' "$_c"; done
    echo
}
echo
row load direct "tunnel (interception off)" "**interception**" "Privoxy $(version privoxy) \`+https-inspection\`" \
    "mitmproxy $(version mitmproxy)"
row --- --- --- --- --- ---
# The page-load rows are loopback's; the links have a table of their own below.
on_loopback=no
case " $links " in *" 0 "*) on_loopback=yes ;; esac
if [ "$on_loopback" = yes ]; then
    _r=()
    for mode in $modes; do _r+=("$(cell "$mode" cold "$d_cold")"); done
    row "first visit (fresh profile)" "${_r[@]}"
    _r=()
    for mode in $modes; do _r+=("$(cell "$mode" warm "$d_warm")"); done
    row "return visit (same browser, revalidation)" "${_r[@]}"
    _r=()
    for mode in $modes; do
        _n=$(visits "$mode") _f=
        [ ! -s "$work/loopback.$mode.failures" ] || _f=", $(wc -l <"$work/loopback.$mode.failures") FAILED"
        _r+=("$(sum "$mode" cold_whole)/$_n, $(sum "$mode" warm_whole)/$_n$_f")
    done
    row "page whole: first / return visits" "${_r[@]}"
    _r=()
    for mode in $modes; do _r+=("$(col "$mode" connections | awk '{ printf "%.0f", $1 }') / $(col "$mode" requests | awk '{ printf "%.0f", $1 }')"); done
    row "first visit: browser connections / requests" "${_r[@]}"
fi
_r=()
for mode in $modes; do
    _r+=("$(awk -v f="$(from_file "$mode.stream" first)" 'BEGIN { if (f == "nan") print "FAILED"; else printf "%.3f s", f }')")
done
row "event stream: first event's arrival after its send" "${_r[@]}"
if [ "$download_mib" -gt 0 ]; then
    _r=()
    for mode in $modes; do
        _r+=("$(awk -v f="$(from_file "$mode.download" first)" -v t="$(from_file "$mode.download" total)" \
            -v c="$(from_file "$mode.download" cut)" \
            'BEGIN { if (c != "" && c != "nan") printf "not whole after %d s", c; else if (f == "" || f == "nan") print "FAILED"; else printf "%.2f s / %.1f s", f, t }')")
    done
    row "$download_mib MiB download: first byte / whole" "${_r[@]}"
    _r=()
    for mode in $modes; do
        _r+=("$(awk -v k="$(from_file "$mode.download" peak)" \
            'BEGIN { if (k == "" || k == "nan") print "-"; else printf "%.1f MiB", k / 1024 }')")
    done
    row "proxy's peak resident memory (whole run)" "${_r[@]}"
fi
echo
echo "medians of $rounds round(s) (after a warm-up round); the page: $resources resources from nginx over HTTP/2 where offered, text compressed," \
    "every answer no-cache; interception takes the 4 scripts out"
[ "$on_loopback" = no ] || awk -v c="$(col interception cold)" -v w="$(col interception warm)" -v dc="$d_cold" -v dw="$d_warm" \
    -v mc="$(col mitmproxy cold)" -v mw="$(col mitmproxy warm)" 'BEGIN {
    if (dc <= 0 || dw <= 0 || c == "nan" || w == "nan") { print "goal: page loads: no figures"; exit }
    rc = c / dc; rw = w / dw
    printf "goal: interception at most 1.3× direct cold, 1.2× warm: %s (%.2f×, %.2f×)\n", (rc <= 1.3 && rw <= 1.2 ? "met" : "NOT met"), rc, rw
    if (mc != "nan" && mw != "nan")
        printf "goal: at or below mitmproxy'\''s ratio: %s (mitmproxy %.2f×, %.2f×)\n", (c <= mc && w <= mw ? "met" : "NOT met"), mc / dc, mw / dw }'
awk -v f="$(from_file interception.stream first)" \
    'BEGIN { printf "goal: the first event within 0.2 s of its send: %s (%s s)\n", (f != "nan" && f <= 0.2 ? "met" : "NOT met"), f }'
if [ "$download_mib" -gt 0 ]; then
    awk -v f="$(from_file interception.download first)" -v k="$(from_file interception.download peak)" -v m="$download_mib" \
        'BEGIN { printf "goal: the %d MiB intercepted download begins within 0.2 s and stays under 64 MiB: %s (%s s, %.1f MiB)\n",
                 m, (f != "nan" && f != "" && f <= 0.2 && k != "" && k < 64 * 1024 ? "met" : "NOT met"), f, k / 1024 }'
fi
# shellcheck disable=SC2086 # a list of words
[ "$links" = 0 ] || links_table $links
echo "load average at the start: $load_start; at the end: $(load_average)"
