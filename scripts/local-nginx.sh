# Shell functions for scripts that put a real web server on loopback: a free port,
# waiting for a listener, and Debian's nginx serving a folder with a configuration
# of its own. Source it; it needs python3 and /usr/sbin/nginx.

# Exits 77 (the test is skipped) unless every tool named is installed. Under CI the
# test setup has installed them all, so a missing one fails the test instead.
require_tools() {
    for _tool in "$@"; do
        if ! command -v "$_tool" >/dev/null 2>&1; then
            if [ -n "${CI:-}" ]; then
                echo "FAIL: $_tool not installed, though the test setup installs it"
                exit 1
            fi
            echo "SKIP: $_tool not installed"
            exit 77
        fi
    done
}

# Ends each process whose id is given (empty ones are skipped) and waits for it.
stop_processes() {
    for _pid in "$@"; do
        if [ -n "$_pid" ]; then kill "$_pid" 2>/dev/null || true; wait "$_pid" 2>/dev/null || true; fi
    done
}

# Prints a loopback TCP port nobody listens on right now.
free_port() {
    python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
s.close()'
}

# Waits up to ten seconds for something to accept connections on a loopback port.
wait_listening() {
    python3 - "$1" <<'PY'
import socket, sys, time
port = int(sys.argv[1])
deadline = time.time() + 10
while time.time() < deadline:
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        sys.exit(0)
    except OSError:
        time.sleep(0.1)
sys.exit(1)
PY
}

# start_nginx WORK PORT [SERVER-DIRECTIVES [LISTEN-OPTIONS]]
# Serves WORK/www on 127.0.0.1:PORT in the foreground of a background job, with its
# pid, logs and temporary files in WORK; sets NGINX_PID. LISTEN-OPTIONS end the
# listen line (e.g. "ssl"). nginx's workers drop root rights, so WORK and WORK/www
# are made readable by all. NGINX_WORKER_CONNECTIONS (64 when unset) caps the
# connections nginx holds at once; past it nginx drops connections that have not
# sent their request yet, so load with many clients needs more.
start_nginx() {
    _work=$1
    mkdir -p "$_work/www" "$_work/tmp"
    chmod 755 "$_work" "$_work/www"
    cat >"$_work/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $_work/nginx.pid;
error_log $_work/error.log;
events { worker_connections ${NGINX_WORKER_CONNECTIONS:-64}; }
http {
    access_log $_work/access.log;
    client_body_temp_path $_work/tmp/body;
    proxy_temp_path $_work/tmp/proxy;
    fastcgi_temp_path $_work/tmp/fastcgi;
    uwsgi_temp_path $_work/tmp/uwsgi;
    scgi_temp_path $_work/tmp/scgi;
    types { text/html html; application/octet-stream bin; }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$2${4:+ $4};
        root $_work/www;
        ${3:-}
    }
}
CONF
    /usr/sbin/nginx -e "$_work/error.log" -p "$_work" -c "$_work/nginx.conf" &
    NGINX_PID=$!
    wait_listening "$2"
}
