#!/usr/bin/env python3
"""The Python half of pageload_bench.sh: the page, one browser visit, the event
stream's origin and its client. Standard library only; everything on loopback.

  pageload.py site WWW
      writes the forty-resource page (tests/e2e/browser_site.py) into WWW
  pageload.py visit [--link PID:STATS] HOME PROFILE LOG URL [PROXY-PORT]
      a fresh headless Chromium (HOME holds its NSS database) loads URL cold, then
      again in the same browser (warm); prints one line of KEY=VALUE words: the load
      times from the page's Navigation Timing (cold, warm, in ms), whether the page
      came whole each time, the browser's connections and requests of the cold visit;
      with --link, also the bytes that crossed bench/linkemu.py's link (process PID,
      counts in the file STATS) during each load (cold_down, cold_up, warm_down,
      warm_up) and the connections opened across it (cold_connections,
      warm_connections)
  pageload.py events PORT CERT KEY
      an HTTPS origin: every request gets an event stream of EVENTS events, one every
      0.5 s, each carrying the time it was sent; then the answer ends
  pageload.py stream CA-FILE HOST PORT [PROXY-PORT]
      reads the event stream; prints first=SECONDS (first event's arrival less its
      sending) and whole=SECONDS (request sent to the stream's end)

Names: only "localhost" goes to the proxy, and every other host name the browser
might ask for on its own finds no address, so nothing leaves the machine.
"""

import os
import re
import socket
import socketserver
import ssl
import string
import sys
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import browser_site  # noqa: E402
import linkemu  # noqa: E402

HOST = "localhost"
EVENTS = 10
EVENT_GAP = 0.5


def only_host_through_proxy(host):
    """A bypass list under which the proxy gets `host` and no other name: for each
    length of the name's tail, every other letter before it goes past the proxy (and
    then finds no address); so do the name's own shorter tails."""
    rules = ["<-loopback>"]
    chars = string.ascii_lowercase + "-."
    for k in range(len(host) + 1):
        tail = host[len(host) - k:]
        before = host[len(host) - k - 1] if k < len(host) else None
        rules += ["*" + c + tail for c in chars if c != before]
    rules += [host[i:] for i in range(1, len(host))]
    return ";".join(rules)


def network_flags(proxy_port):
    # The proxy is at 127.0.0.1, which the rules must leave alone too.
    flags = ["--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE %s, EXCLUDE 127.0.0.1" % HOST]
    if proxy_port:
        return flags + ["--proxy-server=http://127.0.0.1:%d" % proxy_port,
                        "--proxy-bypass-list=" + only_host_through_proxy(HOST)]
    return flags + ["--no-proxy-server"]


def visit(home, profile, log, url, proxy_port, link):
    b = browser_site.Browser(profile, None, log, home, network=network_flags(proxy_port))
    # The link's counts before the cold load, between the loads and after the warm one.
    counts = []

    def count_link():
        if link:
            counts.append(linkemu.read_stats(link[0], link[1]))
    connections, requests = set(), [0]

    def count(m):
        if m.get("method") == "Network.responseReceived":
            connections.add(m["params"]["response"].get("connectionId"))
        elif m.get("method") == "Network.requestWillBeSent":
            requests[0] += 1
    try:
        tab = browser_site.Tab(b)
        b.handlers.append(count)
        states = []
        count_link()
        for _ in ("cold", "warm"):
            loaded = tab.navigate(url)
            count_link()
            state = tab.evaluate(browser_site.FORTY_STATE) or {}
            whole = loaded and state.get("images_loaded") == browser_site.FORTY_IMAGES \
                and state.get("sheets_loaded") == browser_site.FORTY_SHEETS
            if not whole:
                print("not whole: %s, failures %s" % (state, tab.failures[:3]), file=sys.stderr)
            states.append((state.get("load_ms", 0), whole))
            if not states[1:]:
                cold_connections, cold_requests = len(connections - {None, 0}), requests[0]
    finally:
        b.close()
    (cold, cold_whole), (warm, warm_whole) = states
    crossed = ""
    if counts:
        crossed = "".join(" %s_%s=%d" % (load, way, after[way] - before[way])
                          for load, before, after in (("cold", counts[0], counts[1]), ("warm", counts[1], counts[2]))
                          for way in ("down", "up", "connections"))
    print("cold=%.1f warm=%.1f cold_whole=%d warm_whole=%d connections=%d requests=%d%s"
          % (cold, warm, cold_whole, warm_whole, cold_connections, cold_requests, crossed))


class EventOrigin(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def serve_events(port, cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)

    class Handler(socketserver.BaseRequestHandler):
        def handle(self):
            # Each event leaves at once, not held back for the acknowledgement of the last.
            self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            try:
                with context.wrap_socket(self.request, server_side=True) as tls:
                    tls.settimeout(30)
                    head = b""
                    while b"\r\n\r\n" not in head:
                        data = tls.recv(4096)
                        if not data:
                            return
                        head += data
                    tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                                b"Cache-Control: no-cache\r\nTransfer-Encoding: chunked\r\n\r\n")
                    for n in range(EVENTS):
                        if n:
                            time.sleep(EVENT_GAP)
                        event = b"id: %d\ndata: %.6f\n\n" % (n, time.time())
                        tls.sendall(b"%x\r\n%s\r\n" % (len(event), event))
                    tls.sendall(b"0\r\n\r\n")
                    tls.unwrap()
            except (OSError, ssl.SSLError):
                pass

    with EventOrigin(("127.0.0.1", port), Handler) as server:
        server.serve_forever()


def stream(ca_file, host, port, proxy_port):
    start = time.time()
    raw = socket.create_connection(("127.0.0.1", proxy_port or port), timeout=30)
    raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    if proxy_port:
        raw.sendall(b"CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\n\r\n" % (host.encode(), port, host.encode(), port))
        head = b""
        while b"\r\n\r\n" not in head:
            data = raw.recv(1)
            if not data:
                raise SystemExit("the proxy closed during CONNECT: %r" % head)
            head += data
        if not re.match(rb"HTTP/1\.[01] 200", head):
            raise SystemExit("CONNECT answered %r" % head[:80])
    first = None
    with ssl.create_default_context(cafile=ca_file).wrap_socket(raw, server_hostname=host) as tls:
        tls.sendall(b"GET /events HTTP/1.1\r\nHost: %s:%d\r\nAccept: text/event-stream\r\n"
                    b"Cache-Control: no-cache\r\n\r\n" % (host.encode(), port))
        got = b""
        while True:
            try:
                data = tls.recv(65536)
            except (ssl.SSLEOFError, ConnectionResetError):
                data = b""
            if not data:
                break
            got += data
            if first is None:
                m = re.search(rb"data: ([0-9.]+)\n\n", got)
                if m:
                    first = time.time() - float(m.group(1))
            if got.endswith(b"0\r\n\r\n") and got.count(b"data: ") >= EVENTS:
                break
    whole = time.time() - start
    events = got.count(b"data: ")
    if first is None or events != EVENTS:
        raise SystemExit("%d of %d events came: %r" % (events, EVENTS, got[:200]))
    print("first=%.3f whole=%.3f" % (first, whole))


def main():
    args = sys.argv[1:]
    if args[:1] == ["site"] and len(args) == 2:
        print(browser_site.make_forty(args[1]))
    elif args[:1] == ["visit"] and len(args) in (5, 6, 7, 8):
        link = None
        if args[1] == "--link" and ":" in args[2]:
            pid, _, stats = args[2].partition(":")
            link = (int(pid), stats)
            args = args[:1] + args[3:]
        if len(args) not in (5, 6):
            print(__doc__, file=sys.stderr)
            return 2
        visit(args[1], args[2], args[3], args[4], int(args[5]) if len(args) == 6 else 0, link)
    elif args[:1] == ["events"] and len(args) == 4:
        serve_events(int(args[1]), args[2], args[3])
    elif args[:1] == ["stream"] and len(args) in (4, 5):
        stream(args[1], args[2], int(args[3]), int(args[4]) if len(args) == 5 else 0)
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
