# shellcheck shell=sh
# Shell functions the benchmarks share: installing their tools, ports and the origin's
# certificates, the figures they read from /proc, medians, and tarnwick-headless
# started and stopped. Source it after
# scripts/local-nginx.sh; start_tarnwick wants $bin, $work, $tw_port and $keep_log.

# Installs the Debian packages given that are not installed yet.
install_packages() {
    _missing=
    for _pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$_pkg" 2>/dev/null | grep -q "install ok installed" ||
            _missing="$_missing $_pkg"
    done
    [ -n "$_missing" ] || return 0
    _sudo=
    [ "$(id -u)" -eq 0 ] || _sudo=sudo
    $_sudo apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $_sudo apt-get install -y -qq --no-install-recommends $_missing
}

load_average() { cut -d' ' -f1-3 /proc/loadavg; }

# A free loopback port that no earlier call in this run gave ($ports keeps them).
ports=
new_port() {
    _p=$(free_port)
    while echo " $ports " | grep -q " $_p "; do _p=$(free_port); done
    ports="$ports $_p"
    echo "$_p"
}

# make_origin_certificates DIR NAME: a test CA named NAME (DIR/origin-ca.pem and .key)
# and a certificate it signed for localhost and 127.0.0.1 (DIR/origin.pem and .key),
# both valid two days. openssl's words go to the standard output.
make_origin_certificates() {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
        -subj "/CN=$2" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign \
        -keyout "$1/origin-ca.key" -out "$1/origin-ca.pem" 2>&1 &&
        printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$1/origin.ext" &&
        openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=localhost \
            -keyout "$1/origin.key" -out "$1/origin.csr" 2>&1 &&
        openssl x509 -req -in "$1/origin.csr" -CA "$1/origin-ca.pem" -CAkey "$1/origin-ca.key" \
            -days 2 -extfile "$1/origin.ext" -out "$1/origin.pem" 2>&1
}

# Raises the limit of open files to the hard limit; fails below MINIMUM.
use_all_descriptors() {
    _hard=$(ulimit -Hn)
    [ "$_hard" = unlimited ] && _hard=65536
    [ "$_hard" -ge "$1" ] || { echo "the hard limit on open files ($_hard) is below $1" >&2; exit 1; }
    ulimit -n "$_hard"
}

# The median of the numbers on standard input, one a line; "nan" for none.
median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# CPU time (user + system, and any waited-for children) of a process, in µs.
cpu_us() {
    sed 's/^.*) //' "/proc/$1/stat" |
        awk -v hz="$(getconf CLK_TCK)" '{ printf "%.0f\n", ($12 + $13 + $14 + $15) * 1e6 / hz }'
}

# Peak resident memory of a process, in KiB.
peak_kib() { awk '/^VmHWM/ { print $2 }' "/proc/$1/status"; }

# The value of KEY in a line of KEY=VALUE words.
field() { echo "$1" | tr ' ' '\n' | awk -F= -v k="$2" '$1 == k { print $2 }'; }

# The two proxies in the order of round N: who goes first swaps every round.
in_turn() { if [ $(($1 % 2)) -eq 1 ]; then echo "$2 $3"; else echo "$3 $2"; fi; }

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

# Debian's Privoxy, installed when missing. The package starts a Privoxy of its own
# where it can; the benchmarks run theirs, so that one is stopped.
install_privoxy() {
    [ ! -x /usr/sbin/privoxy ] || return 0
    install_packages privoxy
    _sudo=
    [ "$(id -u)" -eq 0 ] || _sudo=sudo
    if command -v service >/dev/null 2>&1; then $_sudo service privoxy stop >/dev/null 2>&1 || true; fi
}

# start_privoxy PORT ORIGIN_CA KEEP_ALIVE MAX_CLIENTS ACTIONS
# Privoxy with HTTPS inspection in $work/privoxy on 127.0.0.1:PORT, checking origins
# against the file ORIGIN_CA, keeping a connection KEEP_ALIVE seconds, for at most
# MAX_CLIENTS clients, with ACTIONS as its actions file. Its CA, made here as its
# documentation makes one (RSA; the host keys it makes are RSA too), is
# $work/privoxy/ca/cacert.crt. Sets pv_pid; calls fail when it does not start.
start_privoxy() {
    mkdir -p "$work/privoxy/ca" "$work/privoxy/certs"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=benchmark Privoxy CA" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign \
        -keyout "$work/privoxy/ca/cakey.pem" -out "$work/privoxy/ca/cacert.crt" \
        >>"$work/openssl.log" 2>&1 || fail "openssl cannot make Privoxy's CA"
    cp "$2" "$work/privoxy/ca/trusted.pem"
    printf '%s\n' "$5" >"$work/privoxy/intercept.action"
    cat >"$work/privoxy/config" <<EOF
confdir $work/privoxy
actionsfile intercept.action
listen-address 127.0.0.1:$1
toggle 1
enable-remote-toggle 0
enable-edit-actions 0
accept-intercepted-requests 0
keep-alive-timeout $3
socket-timeout 30
max-client-connections $4
ca-directory $work/privoxy/ca
ca-cert-file cacert.crt
ca-key-file cakey.pem
trusted-cas-file trusted.pem
certificate-directory $work/privoxy/certs
EOF
    # No logfile: errors go to its standard error, kept in privoxy.log.
    /usr/sbin/privoxy --no-daemon "$work/privoxy/config" >"$work/privoxy.log" 2>&1 &
    pv_pid=$!
    wait_listening "$1" || fail "privoxy did not start"
}
