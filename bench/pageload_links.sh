# shellcheck shell=bash
# shellcheck disable=SC2154 # the variables pageload_bench.sh sets before sourcing
# The links of pageload_bench.sh: bench/linkemu.py between the origin and everything
# else, one link at a time, and the table of page loads per link. Sourced by
# pageload_bench.sh, whose $here, $work, $web_port, $listen6, $modes and functions
# (new_port, fail, col, sum, visits, cell) it uses.
# A link is 0 (plain loopback, no emulator) or RTT/DOWN/UP: round trip in ms, the
# rates toward the browser and toward the origin in Mbit/s.

# check_links LINK...: exits when one is not a link.
check_links() {
    for _l in "$@"; do
        echo "$_l" | grep -Eq '^(0|[0-9]+(\.[0-9]+)?/[0-9]+(\.[0-9]+)?/[0-9]+(\.[0-9]+)?)$' ||
            { echo "not a link: $_l (0 or RTT-MS/DOWN-MBIT/UP-MBIT, e.g. 50/20/5)" >&2; exit 2; }
    done
}

# The link's name in file names, and in the table.
link_name() { if [ "$1" = 0 ]; then echo loopback; else echo "$1" | tr / -; fi; }
link_label() {
    if [ "$1" = 0 ]; then echo loopback; else echo "$1" | awk -F/ '{ printf "%s ms, %s/%s Mbit/s", $1, $2, $3 }'; fi
}

# start_link LINK: sets page_port (where the page is asked for) and link_pid (the
# emulator's, empty for loopback). An emulator listens wherever nginx does.
link_pid=
start_link() {
    page_port=$web_port
    link_pid=
    [ "$1" != 0 ] || return 0
    page_port=$(new_port)
    _hosts="--listen-host 127.0.0.1"
    [ -z "$listen6" ] || _hosts="$_hosts --listen-host ::1"
    # shellcheck disable=SC2086 # the listen options are words
    python3 "$here/linkemu.py" --listen "$page_port" $_hosts --origin "127.0.0.1:$web_port" \
        --rtt-ms "$(echo "$1" | cut -d/ -f1)" --down-mbit "$(echo "$1" | cut -d/ -f2)" \
        --up-mbit "$(echo "$1" | cut -d/ -f3)" --stats "$work/link.stats" >>"$work/linkemu.log" 2>&1 &
    link_pid=$!
    wait_listening "$page_port" || fail "the link emulator does not listen"
}

stop_link() {
    stop_processes "$link_pid"
    link_pid=
}

# The --link words for pageload.py visit while an emulator runs.
link_option() { [ -z "$link_pid" ] || echo "--link $link_pid:$work/link.stats"; }

# kilobytes MEDIAN: "123 kB", or "-".
kilobytes() { awk -v b="$1" 'BEGIN { if (b == "nan" || b == "") print "-"; else printf "%.0f kB", b / 1000 }'; }

# links_table LINK...: per link and mode, the medians and the bytes over the link.
links_table() {
    echo
    row link mode "cold ms" "warm ms" "cold × direct" "warm × direct" "link bytes cold: down / up" \
        "link bytes warm: down / up" "failed"
    row --- --- ---: ---: ---: ---: ---: ---: ---:
    for _link in "$@"; do
        table_link=$(link_name "$_link")
        _dc=$(col direct cold) _dw=$(col direct warm)
        for _mode in $modes; do
            _failed=0
            [ ! -s "$work/$table_link.$_mode.failures" ] || _failed=$(wc -l <"$work/$table_link.$_mode.failures")
            row "$(link_label "$_link")" "$_mode" \
                "$(col "$_mode" cold | awk '{ print ($1 == "nan") ? "-" : sprintf("%.0f", $1) }')" \
                "$(col "$_mode" warm | awk '{ print ($1 == "nan") ? "-" : sprintf("%.0f", $1) }')" \
                "$(ratio "$(col "$_mode" cold)" "$_dc")" "$(ratio "$(col "$_mode" warm)" "$_dw")" \
                "$(kilobytes "$(col "$_mode" cold_down)") / $(kilobytes "$(col "$_mode" cold_up)")" \
                "$(kilobytes "$(col "$_mode" warm_down)") / $(kilobytes "$(col "$_mode" warm_up)")" \
                "$_failed/$(($(visits "$_mode") + _failed))"
        done
    done
    echo
    echo "medians of the counted rounds per link; link bytes: what crossed the emulated link during one load" \
        "(TLS included), medians; loopback has no emulator and no counts"
}

ratio() { awk -v v="$1" -v d="$2" 'BEGIN { if (v == "nan" || d == "nan" || d <= 0) print "-"; else printf "%.2f×", v / d }'; }
