#!/usr/bin/env python3
"""Load client of the relay soak (bench/soak.sh); standard library only.

  soakload.py make-files WWW
      Writes the web server's files: binary files from a few bytes to 1 MiB, HTML pages
      the answer rules leave alone, and many small files that differ from each other.

  soakload.py run --proxy-port P --web-port W --www WWW --proxy-pid PID --start-dir DIR
                  [--requests N] [--minutes M] [--clients C] [--timeout S] ...
      C clients, each one connection per request: a proxy request with an absolute URL
      and a browser's headers, then everything read until the proxy closes. Every answer
      must be status 200 with exactly the bytes of its own file or echo. About a tenth of
      the requests go to a scripted origin in this process that answers in pieces with
      pauses. Prints progress every few seconds and a summary; exits 1 on any failure or
      any answer file left in the proxy's start directory.

Requests go to 127.0.0.1 only, and the run stops by itself after N requests or M minutes.
"""

import argparse
import asyncio
import collections
import hashlib
import os
import random
import re
import signal
import statistics
import sys
import time

CRLF2 = b"\r\n\r\n"
# The proxy holds every answer until 100 ms after the origin closed; a timer may fire
# a little early, so anything under this counts as relayed too soon.
MIN_HOLD_S = 0.090

BROWSER_HEADERS = (
    b"User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0\r\n"
    b"Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8\r\n"
    b"Accept-Language: en-US,en;q=0.5\r\n"
    b"Accept-Encoding: gzip, deflate\r\n"
    b"DNT: 1\r\n"
    b"Connection: keep-alive\r\n"
    b"Proxy-Connection: keep-alive\r\n"
    b"Upgrade-Insecure-Requests: 1\r\n"
    b"Sec-GPC: 1\r\n"
)

# ---- the web server's files ------------------------------------------------------------

WORDS = ("alder birch cedar delta ember fjord grove harbor island juniper kestrel lantern "
         "meadow north orchard pebble quarry river summit thicket upland valley willow "
         "yarrow zephyr copper marble hollow beacon").split()


def html_page(rng, size):
    """An HTML page of about `size` bytes with nothing the answer rules would rewrite."""
    parts = [b"<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>soak page</title>"
             b"<link rel=\"stylesheet\" href=\"/style.css\"></head>\n<body>\n"]
    total = len(parts[0])
    n = 0
    while total < size:
        n += 1
        words = " ".join(rng.choice(WORDS) for _ in range(rng.randint(5, 40)))
        kind = n % 4
        if kind == 0:
            line = '<p class="c%d">%s</p>\n' % (n, words)
        elif kind == 1:
            line = '<div id="d%d"><a href="/n/%d.bin">%s</a></div>\n' % (n, n, words)
        elif kind == 2:
            line = '<img src="/i/%d.png" alt="%s" width="10" height="10">\n' % (n, words[:30])
        else:
            line = "<ul><li>%s</li><li>%d &amp; %d</li></ul>\n" % (words, n, n * 7)
        parts.append(line.encode("ascii"))
        total += len(parts[-1])
    parts.append(b"</body></html>\n")
    page = b"".join(parts)
    low = page.lower()
    assert b"script" not in low and b"set-cookie" not in low and b"zzzzzz" not in low
    return page


def make_files(www):
    rng = random.Random(20240607)
    os.makedirs(os.path.join(www, "n"), exist_ok=True)

    def put(name, data):
        path = os.path.join(www, name)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, 0o644)

    for size in (1, 5, 64, 1000, 4096, 10007, 65536, 100003, 262144, 524295, 1048576):
        put("bin-%d.bin" % size, rng.randbytes(size))
    # Bytes that look like HTTP inside the body: only the first blank line ends the head.
    trap = (b"\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Type: text/html\r\n\r\n"
            b"HTTP/1.0 999\r\n\r\n~tarnwick-temp-1\r\n")
    put("looks-like-http.bin", b"".join(trap + rng.randbytes(rng.randint(0, 300)) for _ in range(400)))
    for size in (300, 8000, 120000):
        put("page-%d.html" % size, html_page(rng, size))
    for k in range(500):
        put("n/%d.bin" % k, b"small file %d\n" % k + rng.randbytes(rng.choice((1, 100, 1500, 9000, 20000))))
    os.chmod(os.path.join(www, "n"), 0o755)


def load_files(www):
    files = {}
    for root, _dirs, names in os.walk(www):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                files["/" + os.path.relpath(path, www)] = f.read()
    return files


# ---- the scripted origin -------------------------------------------------------------


def slow_body(ident, size):
    """The answer of /slow/IDENT/SIZE: its first line names it (even when longer than
    SIZE), then come bytes made from IDENT and SIZE."""
    out = bytearray(b"slow %s\n" % ident)
    head = len(out)
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(b"%s/%d:%d" % (ident, size, counter)).digest()
        counter += 1
    return bytes(out[:max(size, head)])


class SlowOrigin:
    """Answers GET /slow/IDENT/SIZE with Content-Length, in 2 or 3 pieces 30-50 ms apart,
    then closes. Remembers when it closed each answer."""

    def __init__(self):
        self.closed_at = {}
        self.bad_requests = 0
        self.server = None
        self.port = 0

    async def start(self):
        self.server = await asyncio.start_server(self.serve, "127.0.0.1", 0)
        self.port = self.server.sockets[0].getsockname()[1]

    async def serve(self, reader, writer):
        ident = None
        try:
            head = await asyncio.wait_for(reader.readuntil(CRLF2), 30)
            line = head.split(b"\r\n", 1)[0].split(b" ")
            # The proxy forwards the request line as the browser wrote it: absolute URL.
            target = line[1].split(b"/", 3)[-1] if len(line) == 3 and b"://" in line[1] else b""
            parts = target.split(b"?")[0].split(b"/")
            if len(parts) != 3 or parts[0] != b"slow" or not parts[2].isdigit():
                self.bad_requests += 1
                writer.write(b"HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\n"
                             b"Content-Length: 11\r\nConnection: close\r\n\r\nbad request")
                await writer.drain()
                return
            ident = parts[1]
            body = slow_body(ident, int(parts[2]))
            answer = (b"HTTP/1.1 200 OK\r\nServer: soak-origin\r\n"
                      b"Content-Type: application/octet-stream\r\n"
                      b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body)) + body
            rng = random.Random(ident)
            cuts = sorted(rng.sample(range(1, len(answer)), rng.choice((1, 2))))
            pieces = [answer[a:b] for a, b in zip([0] + cuts, cuts + [len(answer)])]
            for k, piece in enumerate(pieces):
                if k:
                    await asyncio.sleep(rng.uniform(0.030, 0.050))
                writer.write(piece)
                await writer.drain()
        except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, asyncio.TimeoutError,
                asyncio.CancelledError, ConnectionError, ValueError):
            return  # cancelled: the run is over
        finally:
            writer.close()
            if ident is not None:
                self.closed_at[ident] = time.monotonic()
            try:
                await writer.wait_closed()
            except (ConnectionError, OSError):
                pass


# ---- the proxy process -----------------------------------------------------------------


def proc_status(pid):
    """(VmRSS KiB, VmHWM KiB, open descriptors), or None when the process is gone."""
    try:
        values = {}
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key in ("State", "VmRSS", "VmHWM"):
                    values[key] = rest.split()[0]
        if values.get("State") in ("Z", "X"):
            return None  # died, not yet reaped by soak.sh
        fds = len(os.listdir("/proc/%d/fd" % pid))
        return int(values.get("VmRSS", 0)), int(values.get("VmHWM", 0)), fds
    except OSError:
        return None


def answer_files(start_dir):
    return sorted(n for n in os.listdir(start_dir) if n.startswith("~tarnwick-temp-"))


# ---- the load ----------------------------------------------------------------------------


class Stats:
    def __init__(self):
        self.done = 0
        self.ok = 0
        self.unjudged = 0
        self.failures = collections.Counter()
        self.samples = collections.defaultdict(list)  # the first few of each kind
        self.first_failure = None  # request number of the first failure
        self.latency = []          # whole exchange, seconds, correct answers
        self.hold = []             # first answer byte after the scripted origin closed
        self.status_lines = collections.Counter()

    def fail(self, kind, number, detail):
        self.failures[kind] += 1
        if self.first_failure is None or number < self.first_failure:
            self.first_failure = number
        if len(self.samples[kind]) < 3:
            self.samples[kind].append("#%d %s: %s" % (number, kind, detail))


ECHO_ANSWER = re.compile(rb"echo (/echo/[0-9]+-[0-9]+-[0-9a-f]{8})")
SLOW_ANSWER = re.compile(rb"slow ([0-9]+-[0-9]+-[0-9a-f]{8})\n")
SLOW_SIZES = (10, 900, 5000, 40000, 200000)


class Load:
    def __init__(self, args):
        self.args = args
        self.files = load_files(args.www)
        self.by_digest = {hashlib.sha1(v).digest(): k for k, v in self.files.items()}
        self.file_sizes = sorted({len(v) for v in self.files.values()})
        self.small = sorted(p for p in self.files if p.startswith("/n/"))
        self.other = sorted(p for p in self.files if not p.startswith("/n/"))
        self.stats = Stats()
        self.origin = SlowOrigin()
        self.next_number = 0
        self.deadline = 0.0
        self.proxy_gone = False
        self.interrupted = False
        self.rng = random.Random(args.seed)

    def pick(self, number, client):
        """(path, expected body, scripted-origin ident or None, port) of a new request."""
        token = "%d-%d-%08x" % (client, number, self.rng.getrandbits(32))
        r = self.rng.random()
        if r < self.args.slow_share:
            size = self.rng.choice(SLOW_SIZES)
            ident = token.encode()
            return ("/slow/%s/%d" % (token, size), slow_body(ident, size), ident, self.origin.port)
        port = self.args.web_port
        if r < self.args.slow_share + self.args.echo_share:
            path = "/echo/%s" % token
            return (path, b"echo " + path.encode(), None, port)
        pool = self.small if r < self.args.slow_share + self.args.echo_share + 0.3 else self.other
        path = self.rng.choice(pool)
        return (path, self.files[path], None, port)

    def whose_answer(self, data):
        """(path, length) of the request whose whole answer `data` begins with, if any."""
        m = ECHO_ANSWER.match(data)
        if m:
            return m.group(1).decode(), m.end()
        m = SLOW_ANSWER.match(data)
        if m:
            for size in reversed(SLOW_SIZES):
                body = slow_body(m.group(1), size)
                if data.startswith(body):
                    return "/slow/%s/%d" % (m.group(1).decode(), size), len(body)
        for size in reversed(self.file_sizes):
            # A few bytes at the start prove nothing unless they are all there is.
            if size > len(data) or (size < 64 and size != len(data)):
                continue
            name = self.by_digest.get(hashlib.sha1(data[:size]).digest())
            if name:
                return name, size
        return None

    async def exchange(self, number, client):
        path, expected, ident, port = self.pick(number, client)
        host = b"127.0.0.1:%d" % port
        request = (b"GET http://%s%s HTTP/1.1\r\nHost: %s\r\n" % (host, path.encode(), host)
                   + BROWSER_HEADERS
                   + (b"Referer: http://%s/page-8000.html\r\n" % host if number % 3 else b"")
                   + (b"Cookie: soak=%d\r\n" % number if number % 5 == 0 else b"")
                   + b"\r\n")
        began = time.monotonic()
        first_byte = None
        data = bytearray()
        writer = None
        error = None
        try:
            async def talk():
                nonlocal first_byte, writer
                reader, writer = await asyncio.open_connection("127.0.0.1", self.args.proxy_port)
                writer.write(request)
                await writer.drain()
                while True:
                    chunk = await reader.read(256 * 1024)
                    if not chunk:
                        return
                    if first_byte is None:
                        first_byte = time.monotonic()
                    data.extend(chunk)
            await asyncio.wait_for(talk(), self.args.timeout)
        except asyncio.TimeoutError:
            error = ("timeout", "%s after %d bytes" % (path, len(data)))
        except ConnectionRefusedError:
            error = ("refused", path)
        except OSError as e:
            # A reset after the answer: judge what arrived.
            if not data:
                error = ("reset", "%s: %s" % (path, e))
        finally:
            if writer is not None:
                writer.close()
        ended = time.monotonic()
        if self.interrupted:
            # Ctrl+C reached the proxy and nginx too: what ends now proves nothing.
            self.stats.unjudged += 1
            return
        if error:
            self.stats.fail(error[0], number, error[1])
            if error[0] == "refused" and proc_status(self.args.proxy_pid) is None:
                self.proxy_gone = True
            return
        self.judge(number, path, expected, ident, bytes(data), ended - began, first_byte)

    def judge(self, number, path, expected, ident, data, took, first_byte):
        stats = self.stats
        if not data:
            stats.fail("empty", number, "%s: closed without an answer" % path)
            return
        line = data.split(b"\r\n", 1)[0]
        words = line.split(b" ")
        stats.status_lines[line[:40] if line.startswith(b"HTTP/") else b"(no status line)"] += 1
        if len(words) < 2 or not words[0].startswith(b"HTTP/1.") or words[1] != b"200":
            known = self.whose_answer(data)
            stats.fail("status", number, "%s: %r, %d bytes%s"
                       % (path, line[:40], len(data), ", the answer of %s without its head" % known[0] if known else ""))
            return
        end = data.find(CRLF2)
        if end < 0:
            stats.fail("short", number, "%s: head cut off after %d bytes" % (path, len(data)))
            return
        body = data[end + 4:]
        if body == expected:
            closed = self.origin.closed_at.pop(ident, None) if ident is not None else None
            if closed is not None and first_byte is not None:
                held = first_byte - closed
                stats.hold.append(held)
                if held < MIN_HOLD_S:
                    stats.fail("early", number, "%s: relayed %.0f ms after the origin closed"
                               % (path, held * 1000))
                    return
            stats.ok += 1
            stats.latency.append(took)
            return
        if len(body) < len(expected) and expected.startswith(body):
            stats.fail("short", number, "%s: %d of %d bytes" % (path, len(body), len(expected)))
            return
        known = self.whose_answer(body)
        more = len(body) - known[1] if known else 0
        tail = " and %d more bytes %r" % (more, body[known[1]:known[1] + 30]) if more else ""
        if known and known[0] != path:
            stats.fail("crossed", number, "%s got the answer of %s%s" % (path, known[0], tail))
        elif known:
            stats.fail("wrong-body", number, "%s got its answer%s" % (path, tail))
        else:
            stats.fail("wrong-body", number, "%s: %d bytes %r..., wanted %d"
                       % (path, len(body), body[:30], len(expected)))

    async def client(self, client):
        while True:
            if (self.next_number >= self.args.requests or time.monotonic() >= self.deadline
                    or self.proxy_gone or self.interrupted):
                return
            self.next_number += 1
            number = self.next_number
            await self.exchange(number, client)
            self.stats.done += 1

    def interrupt(self):
        if not self.interrupted:
            print("soakload: interrupted, finishing the requests under way", flush=True)
        self.interrupted = True

    def progress(self, began, last):
        now = time.monotonic()
        s = self.stats
        status = proc_status(self.args.proxy_pid)
        mem = ("rss %.1f MiB peak %.1f MiB fds %d" % (status[0] / 1024, status[1] / 1024, status[2])
               if status else "proxy GONE")
        fails = sum(s.failures.values())
        kinds = ", ".join("%s %d" % kv for kv in sorted(s.failures.items()))
        print("[%5.0fs] done %6d  failed %d%s  rate %.0f/s (mean %.0f/s)  %s  answer files %d"
              % (now - began, s.done, fails, " (%s)" % kinds if kinds else "",
                 (s.done - last[1]) / max(now - last[0], 1e-9), s.done / max(now - began, 1e-9),
                 mem, len(answer_files(self.args.start_dir))), flush=True)
        return now, s.done

    async def run(self):
        await self.origin.start()
        start_status = proc_status(self.args.proxy_pid)
        if start_status is None:
            print("soakload: proxy process %d not found" % self.args.proxy_pid)
            return 1
        print("soakload: %d clients, up to %d requests or %g minutes; scripted origin on port %d"
              % (self.args.clients, self.args.requests, self.args.minutes, self.origin.port), flush=True)
        # Ctrl+C: no new requests; those under way finish and the summary follows.
        asyncio.get_running_loop().add_signal_handler(signal.SIGINT, self.interrupt)
        began = time.monotonic()
        self.deadline = began + self.args.minutes * 60
        tasks = [asyncio.create_task(self.client(c)) for c in range(self.args.clients)]
        last = (began, 0)
        try:
            while not all(t.done() for t in tasks):
                await asyncio.wait(tasks, timeout=self.args.report_every)
                if not all(t.done() for t in tasks):
                    last = self.progress(began, last)
                    if proc_status(self.args.proxy_pid) is None and not self.interrupted:
                        self.proxy_gone = True
        finally:
            for t in tasks:
                t.cancel()
        elapsed = time.monotonic() - began
        # Let the last close timers run before counting descriptors and files.
        await asyncio.sleep(self.args.settle)
        self.progress(began, (began, 0))
        end_status = proc_status(self.args.proxy_pid)
        left = answer_files(self.args.start_dir)
        return self.summary(elapsed, start_status, end_status, left, self.proxy_gone)

    def summary(self, elapsed, start_status, end_status, left, gone):
        s = self.stats
        fails = sum(s.failures.values())
        if end_status is None and not self.interrupted:
            gone = True
        ms = lambda v: "%.0f ms" % (v * 1000)
        print("==== relay soak summary ====")
        print("requests          %d done (%d correct, %d failed%s) of %d asked"
              % (s.done, s.ok, fails, ", %d cut off by Ctrl+C" % s.unjudged if s.unjudged else "",
                 self.args.requests))
        print("minutes           %.2f  (mean %.0f answers/s with %d clients)"
              % (elapsed / 60, s.done / max(elapsed, 1e-9), self.args.clients))
        if fails:
            print("failures          " + ", ".join("%s %d" % kv for kv in sorted(s.failures.items())))
            print("first failure     request #%d" % s.first_failure)
            for kind in sorted(s.samples):
                for line in s.samples[kind]:
                    print("  " + line)
        else:
            print("failures          none")
        odd = [(k, v) for k, v in s.status_lines.items() if not k.startswith(b"HTTP/1.1 200")]
        if odd:
            print("status lines      " + ", ".join("%r x%d" % kv for kv in sorted(odd)))
        if s.latency:
            q = statistics.quantiles(s.latency, n=100) if len(s.latency) > 1 else s.latency * 99
            print("answer time       min %s, median %s, p99 %s, max %s"
                  % (ms(min(s.latency)), ms(statistics.median(s.latency)), ms(q[98]), ms(max(s.latency))))
        if s.hold:
            print("held after origin closed  min %s, median %s (%d scripted answers in pieces)"
                  % (ms(min(s.hold)), ms(statistics.median(s.hold)), len(s.hold)))
        if self.origin.bad_requests:
            print("scripted origin   %d requests it could not read" % self.origin.bad_requests)
        if end_status:
            print("peak RSS          %.1f MiB (now %.1f MiB, at start %.1f MiB)"
                  % (end_status[1] / 1024, end_status[0] / 1024, start_status[0] / 1024))
            print("descriptors       %d at start, %d at end" % (start_status[2], end_status[2]))
        elif gone:
            print("proxy             GONE before the end of the run")
        print("answer files left %d%s" % (len(left), (" (" + " ".join(left[:10]) + ")") if left else ""))
        bad = fails or left or gone or s.done == 0
        print("result            %s%s" % ("FAIL" if bad else "PASS",
                                          " (interrupted)" if self.interrupted else ""), flush=True)
        return 1 if bad else 130 if self.interrupted else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    mk = sub.add_parser("make-files")
    mk.add_argument("www")
    run = sub.add_parser("run")
    run.add_argument("--proxy-port", type=int, required=True)
    run.add_argument("--web-port", type=int, required=True)
    run.add_argument("--www", required=True)
    run.add_argument("--proxy-pid", type=int, required=True)
    run.add_argument("--start-dir", required=True)
    run.add_argument("--requests", type=int, default=100000)
    run.add_argument("--minutes", type=float, default=60)
    run.add_argument("--clients", type=int, default=40)
    run.add_argument("--timeout", type=float, default=30, help="seconds for one whole exchange")
    run.add_argument("--slow-share", type=float, default=0.10, help="share to the scripted origin")
    run.add_argument("--echo-share", type=float, default=0.30, help="share of per-request echoes")
    run.add_argument("--report-every", type=float, default=10, help="seconds between progress lines")
    run.add_argument("--settle", type=float, default=2, help="seconds to wait before the final count")
    run.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    if args.command == "make-files":
        make_files(args.www)
        return 0
    return asyncio.run(Load(args).run())


if __name__ == "__main__":
    sys.exit(main())
