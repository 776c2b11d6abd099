"""The HTTP/2 cases of https_interception.py: python3-h2 as a browser behind a CONNECT,
and as an origin that speaks only HTTP/2. Each check returns what went wrong."""

import hashlib
import os
import re
import socket
import ssl
import threading
import time

import h2.config
import h2.connection
import h2.errors
import h2.events
import h2.exceptions
import h2.settings

BIG, BIG_SIZE = "big.bin", 64 * 1024 * 1024
CANCEL, CALM = h2.errors.ErrorCodes.CANCEL, h2.errors.ErrorCodes.ENHANCE_YOUR_CALM


def make_big(www):
    with open(os.path.join(www, BIG), "wb") as f:
        f.write(os.urandom(BIG_SIZE))


def tls_through(run, port, alpn=None):
    """TLS to 127.0.0.1:port inside a CONNECT to the proxy, offering `alpn`."""
    raw = socket.create_connection(("127.0.0.1", run.proxy), timeout=20)
    raw.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (port, port))
    head = b""
    while not head.endswith(b"\r\n\r\n") and len(head) < 1000:
        head += raw.recv(1) or b"?"
    context = ssl.create_default_context(cafile=run.ca_pem)
    if alpn:
        context.set_alpn_protocols([alpn])
    tls = context.wrap_socket(raw, server_hostname="127.0.0.1")
    if tls.selected_alpn_protocol() != alpn:
        raise OSError("the proxy agreed on %r" % tls.selected_alpn_protocol())
    return tls


class Client:
    """An HTTP/2 connection through the proxy; answers[stream] gathers each answer."""

    def __init__(self, run, origin, window=None):
        self.sock = tls_through(run, run.ports[origin], "h2")
        self.conn = h2.connection.H2Connection(h2.config.H2Configuration(header_encoding="latin-1"))
        self.conn.initiate_connection()
        if window:  # each stream's, smaller than the proxy's toward the origin
            self.conn.update_settings({h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: window})
        self.authority, self.answers = "127.0.0.1:%d" % run.ports[origin], {}
        self.goaway, self.gone = None, False

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.sock.close()

    def get(self, path, method="GET", body=None, headers=()):
        stream = self.conn.get_next_available_stream_id()
        self.conn.send_headers(stream, [(":method", method), (":scheme", "https"), (":authority", self.authority),
                                        (":path", path), *headers], end_stream=body is None)
        if body is not None:
            self.conn.send_data(stream, body, end_stream=True)
        self.answers[stream] = {"headers": {}, "body": bytearray(), "ended": False, "reset": None}
        return stream

    def send(self):
        """Sends what is due. A proxy that has closed (after its GOAWAY, say) takes no more,
        and what it said before its close is still read."""
        try:
            self.sock.sendall(self.conn.data_to_send())
        except (ssl.SSLEOFError, BrokenPipeError, ConnectionResetError):
            pass

    def over(self, stream):
        return self.answers[stream]["ended"] or self.answers[stream]["reset"] is not None or self.gone

    def read(self, until, pause=0.0):
        """Sends what is due, then takes what comes until until() holds or the proxy
        closes; `pause` seconds after each read make a slow browser."""
        self.send()
        while not until() and not self.gone:
            try:
                data = self.sock.recv(65536)
                events = self.conn.receive_data(data)
            except (ssl.SSLEOFError, ConnectionResetError):
                data, events = b"", []
            except h2.exceptions.ProtocolError as e:
                raise OSError("the proxy broke HTTP/2: %r" % e) from e
            self.gone = not data
            for event in events:
                a = self.answers.get(getattr(event, "stream_id", 0))
                if isinstance(event, h2.events.ResponseReceived):
                    a["headers"] = dict(event.headers)
                elif isinstance(event, h2.events.DataReceived):
                    a["body"] += event.data
                    self.conn.acknowledge_received_data(event.flow_controlled_length, event.stream_id)
                elif isinstance(event, h2.events.StreamEnded):
                    a["ended"] = True
                elif isinstance(event, h2.events.StreamReset):
                    a["reset"] = event.error_code
                elif isinstance(event, h2.events.ConnectionTerminated):
                    self.goaway = event.error_code
            self.send()
            time.sleep(pause)
        return until()


def filtered_page(run, a):
    """What is wrong with an answer that should be the page through the HTML rules."""
    body = a["body"]
    if a["headers"].get(":status") != "200" or not a["ended"] or len(body) != len(run.page.encode()) \
            or body.count(b"<ZZZZZZ") != 2 or b"document.title" in body:
        return ["answer %s, ended %s, body %r" % (a["headers"], a["ended"], bytes(body[:300]))]
    return []


def curled_page(run, url, *headers, version="--http2"):
    """What is wrong with the page curl gets speaking HTTP/2 (or `version`): filtered,
    Set-Cookie neutralised, its length kept."""
    rc, out, err = run.curl(url, version, *headers)
    head, _, body = out.partition(b"\r\n\r\n")
    ok = head.startswith(b"HTTP/2 200") or head.startswith(b"HTTP/1.1 200")
    problems = filtered_page(run, {"headers": {":status": "200" if ok else head[:40]},
                                   "body": body, "ended": rc == 0})
    fields = head.lower() + b"\r\n"
    if not re.search(rb"\r\nxxxxxxxxxx: y+\r\n", fields) or b"set-cookie" in fields \
            or b"\r\ncontent-length: %d\r\n" % len(run.page) not in fields:
        problems.append("head %r" % head)
    return problems + ([err.strip()] if rc else [])


def page_over_h2(run, arg):
    """The header rules applied as over HTTP/1.1, the page filtered with its length kept,
    the stream in the monitor, and the origin asked in its own protocol."""
    origin, expected = arg
    seen, before = len(run.log(origin)), run.proxy_log_size()
    problems = curled_page(run, run.https(origin), *run.sent_headers())
    got = [{k: v for k, v in line.items() if k in expected} for line in run.log_after(origin, seen)]
    if got != [expected]:
        problems.append("the origin saw %s, expected %s" % (got, expected))
    if not re.search(r"^LAN \| Stream : h2 #1$", run.proxy_log(before, lambda t: "Stream : h2 #1" in t), re.M):
        problems.append("no Stream : h2 #1 in the monitor")
    return problems


def only_h2_origin(run, version):
    """An origin that speaks only HTTP/2, to a browser speaking `version`: its page
    filtered, the header rules applied."""
    with OnlyH2Origin(run) as origin:
        problems = curled_page(run, "https://127.0.0.1:%d/page.html" % origin.port, "-H", "User-Agent: e2e",
                               version=version)
    return problems + ([] if [r.get("user-agent") for r in origin.requests] == [None]
                       else ["the origin saw %s" % origin.requests])


def forty_streams(run, origin):
    """Forty requests at once on one connection: all answered whole, over one connection
    to an HTTP/2 origin, at most six to an HTTP/1.1 one."""
    folder = os.path.join(run.work, "www", "forty")
    names = sorted(n for n in os.listdir(folder) if not n.endswith(".js"))
    seen = len(run.log(origin))
    with Client(run, origin) as client:
        streams = {client.get("/forty/" + names[n % len(names)]): names[n % len(names)] for n in range(40)}
        client.read(lambda: all(client.over(s) for s in streams))
    problems = []
    for stream, name in streams.items():
        with open(os.path.join(folder, name), "rb") as f:
            if client.answers[stream]["body"] != f.read() or not client.answers[stream]["ended"]:
                problems.append("%s: %d bytes, %s" % (name, len(client.answers[stream]["body"]),
                                                      client.answers[stream]["headers"]))
    lines = run.log_after(origin, seen, 3, 40)
    links = {line["connection_serial"] for line in lines}
    if len(lines) != 40 or len(links) > (1 if origin == "h2" else 6):
        problems.append("the origin saw %d requests on %d connections" % (len(lines), len(links)))
    return problems


def slow_download(run, _):
    """64 MiB to a browser that reads slowly through a small window: whole, and the
    proxy's peak memory grows by far less than the file."""
    def kib(field):
        with open("/proc/%d/status" % run.proxy_pid) as f:
            return int(re.search(r"^%s:\s+(\d+)" % field, f.read(), re.M).group(1))
    with Client(run, "h2", window=16384) as client:
        # What the allocator maps for a first answer is not counted: 8 MiB of the file.
        first = client.get("/" + BIG, headers=[("range", "bytes=0-%d" % ((8 << 20) - 1))])
        client.read(lambda: client.over(first))
        with open("/proc/%d/clear_refs" % run.proxy_pid, "w") as f:
            f.write("5")  # the peak so far forgotten
        start = kib("VmRSS")
        stream = client.get("/" + BIG)
        client.read(lambda: client.over(stream), pause=0.0002)
    grown, body = (kib("VmHWM") - start) // 1024, client.answers[stream]["body"]
    with open(os.path.join(run.work, "www", BIG), "rb") as f:
        problems = [] if hashlib.sha256(body).digest() == hashlib.sha256(f.read()).digest() \
            else ["%d bytes, not the file's" % len(body)]
    return problems + (["the proxy's peak memory grew by %d MiB" % grown] if grown >= 16 else [])


def slow_reader(run, _):
    """Answers of 300 kB, one after another, to a browser that reads a little slower than
    they come: each is whole, none waits. What the proxy still held of an answer for the
    browser when the origin ended it is given back to the origin's connection."""
    size = 300 * 1024
    with Client(run, "h2", window=16384) as client:
        for i in range(24):
            stream = client.get("/" + BIG, headers=[("range", "bytes=0-%d" % (size - 1))])
            deadline = time.monotonic() + 15
            client.read(lambda: client.over(stream) or time.monotonic() > deadline, pause=0.0003)
            got = len(client.answers[stream]["body"])
            if not client.answers[stream]["ended"] or got != size:
                return ["answer %d: %d bytes, ended %s" % (i + 1, got, client.answers[stream]["ended"])]
    return []


def reset_mid_answer(run, origin):
    """The browser resets a large answer after its first DATA: the origin stops sending,
    and the next request on the connection is answered whole."""
    seen = len(run.log(origin))
    with Client(run, origin) as client:
        big = client.get("/" + BIG)
        client.read(lambda: client.answers[big]["body"] or client.over(big))
        client.conn.reset_stream(big, CANCEL)
        page = client.get("/page.html")
        client.read(lambda: client.over(page))
        # Logged once the origin ended the request: before this browser leaves.
        sent = [int(line["body_bytes_sent"]) for line in run.log_after(origin, seen, 3, 2)
                if line["request"].startswith("GET /" + BIG)]
    problems = filtered_page(run, client.answers[page])
    return problems + ([] if sent and sent[0] < BIG_SIZE else ["the origin sent %s bytes of the reset answer" % sent])


def beside_long_answer(run, origin):
    """A page asked for while a long answer is coming, slowly read, is not held behind it."""
    with Client(run, origin) as client:
        big = client.get("/" + BIG)
        client.read(lambda: client.answers[big]["body"] or client.over(big))
        page = client.get("/page.html")
        client.read(lambda: client.over(page), pause=0.001)
        came = len(client.answers[big]["body"])
    return filtered_page(run, client.answers[page]) + \
        ([] if came < BIG_SIZE // 2 else ["the page came once %d bytes of the long answer had" % came])


def after_goaway(run, origin):
    """The origin's connection goes away after its second request while a long answer is
    still on it: the third request goes on a new connection, not held behind the answer."""
    with Client(run, origin) as client:
        big = client.get("/" + BIG)
        client.read(lambda: client.answers[big]["body"] or client.over(big))
        pages = [client.get("/page.html")]
        client.read(lambda: client.over(pages[0]), pause=0.001)
        pages.append(client.get("/page.html"))
        client.read(lambda: client.over(pages[1]), pause=0.001)
        came = len(client.answers[big]["body"])
    return [p for page in pages for p in filtered_page(run, client.answers[page])] + \
        ([] if came < BIG_SIZE // 2 else ["the page came once %d bytes of the long answer had" % came])


def rapid_reset(run, origin):
    """Streams opened and reset by the thousand: GOAWAY ENHANCE_YOUR_CALM, few requests
    reach the origin, and another browser is served after."""
    seen = len(run.log(origin))
    with Client(run, origin) as client:
        for n in range(2000):
            client.conn.reset_stream(client.get("/page.html?%d" % n), CANCEL)
        client.read(lambda: client.goaway is not None)
    time.sleep(0.5)  # the origin logs the requests that reached it as they end
    reached = len(run.log(origin)) - seen
    problems = [] if client.goaway == CALM and reached <= 250 else \
        ["GOAWAY %s, %d requests reached the origin" % (client.goaway, reached)]
    with Client(run, origin) as after:
        stream = after.get("/page.html")
        after.read(lambda: after.over(stream))
    return problems + filtered_page(run, after.answers[stream])


def post_refused(run, status):
    """A POST refused: answered `status`, or (None) its stream reset without an answer;
    nothing reaches the origin."""
    seen = len(run.log("good"))
    with Client(run, "good") as client:
        stream = client.get("/page.html", "POST", b"a=1")
        client.read(lambda: client.over(stream))
    a = client.answers[stream]
    problems = [] if (a["headers"].get(":status") == status and a["ended"] and not a["body"] if status
                      else a["reset"] is not None and not a["headers"]) else ["the browser got %s" % a]
    return problems + (["the origin saw %s" % run.log("good")[seen:]] if run.log_after("good", seen, 0.5)
                       else [])


class OnlyH2Origin:
    """An origin that closes connections that did not agree on h2 and answers every
    request with the page and a cookie, until the with-block ends."""

    def __init__(self, run):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port, self.page, self.requests = self.listener.getsockname()[1], run.page.encode(), []
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(*(os.path.join(run.work, "tls", "good." + x) for x in ("pem", "key")))
        self.context.set_alpn_protocols(["h2"])
        threading.Thread(target=self.accept, daemon=True).start()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.listener.close()

    def accept(self):
        while True:
            try:
                threading.Thread(target=self.serve, args=(self.listener.accept()[0],), daemon=True).start()
            except OSError:
                return

    def serve(self, raw):
        try:
            with self.context.wrap_socket(raw, server_side=True) as tls:
                if tls.selected_alpn_protocol() != "h2":
                    return
                conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False,
                                                                            header_encoding="latin-1"))
                conn.initiate_connection()
                tls.sendall(conn.data_to_send())
                while data := tls.recv(65536):
                    for event in conn.receive_data(data):
                        if isinstance(event, h2.events.RequestReceived):
                            self.requests.append(dict(event.headers))
                            conn.send_headers(event.stream_id, [(":status", "200"), ("content-type", "text/html"),
                                                                ("content-length", str(len(self.page))),
                                                                ("set-cookie", "only=h2")])
                            conn.send_data(event.stream_id, self.page, end_stream=True)
                    tls.sendall(conn.data_to_send())
        except (OSError, h2.exceptions.ProtocolError):
            pass
