#!/usr/bin/env python3
"""The cases of https_interception.sh: one table of rows, each with the settings it
needs for its time, run against the proxy and the origins that script started.

  https_interception.py site WWW
      writes the site every origin serves into WWW
  https_interception.py run WORK TARNWICK-SETTINGS PROXY-PORT NAME:PORT...
      runs every row, prints PASS/FAIL per row, exits 1 when any row fails

Standard library and python3-h2. CHROMIUM names the browser command (default: chromium).
"""

import calendar
import os
import re
import shutil
import ssl
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser_site  # noqa: E402
import https_chromium  # noqa: E402
import https_h2  # noqa: E402

# Every script here would change the title if it ran.
PAGE = """<!DOCTYPE html>
<html><head><title>intercepted</title>
<script src="/app.js"></script>
<script>document.title = 'inline script ran';</script>
</head><body>
<p id="kept">kept text</p>
<img id="png" src="/one.png">
</body></html>
"""

SENT = {"referer": "http://referer.test/from", "user_agent": "interception-e2e/1.0",
        "if_modified_since": "Mon, 01 Jan 2001 00:00:00 GMT", "cookie": "session=abc",
        "connection": "keep-alive", "proxy_connection": "keep-alive"}
# Inside interception answers stream by default (逐次転送 △): the connections are kept.
CLOSED = {"connection": "keep-alive", "proxy_connection": "keep-alive"}
DELETED = dict(CLOSED, referer="-", user_agent="-", if_modified_since="-", cookie="-")
PASSED = dict(SENT, **CLOSED)
FAKED = dict(DELETED, referer="http://www.tarnwick-fictitious.example/",
             user_agent="Mozilla/9.0 (compatible; MSIE 9.0; Windows NT 9.0)",
             if_modified_since="Mon, 27 Jan 2003 01:01:01 GMT; length=9999")
LOG_FIELDS = ["request", "status", "referer", "user_agent", "if_modified_since", "cookie",
              "connection", "proxy_connection", "accept_encoding", "content_encoding",
              "protocol", "connection_serial", "body_bytes_sent",
              "sec_ch_ua", "sec_ch_ua_mobile", "sec_ch_ua_platform", "sec_ch_ua_full_version_list"]
# Over HTTP/2 the browser sends no Connection fields, nor the proxy to an HTTP/2 origin.
H2_FIELDS = {"connection": "-", "proxy_connection": "-", "protocol": "HTTP/2.0"}
H2_DELETED = dict(DELETED, **H2_FIELDS)
DAY = 24 * 60 * 60
# What https_interception.sh stored, which rows change for their time.
BASE = {"HTTPS検査": "○"}


def make_site(www):
    with open(os.path.join(www, "page.html"), "w") as f:
        f.write(PAGE)
    with open(os.path.join(www, "app.js"), "w") as f:
        f.write("document.title = 'app.js ran';\n")
    with open(os.path.join(www, "one.png"), "wb") as f:
        f.write(browser_site.png(3, 2))
    for name in os.listdir(www):
        os.chmod(os.path.join(www, name), 0o644)
    browser_site.make_forty(www)
    https_h2.make_big(www)


class Run:
    def __init__(self, work, settings, proxy_port, ports):
        self.work, self.settings_tool, self.proxy = work, settings, proxy_port
        self.ports = ports
        self.ca_pem = os.path.join(work, "tarnwick-ca.pem")
        self.ca_dir = os.path.join(work, "data", "Tarnwick", "ca")
        self.env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        self.page, self.proxy_pid = PAGE, int(os.environ.get("PROXY_PID", "0"))

    # ---- tools ----
    def settings(self, *args):
        subprocess.run([self.settings_tool] + list(args), check=True, stdout=subprocess.DEVNULL)

    def tool(self, *argv, stdin=b""):
        done = subprocess.run(argv, input=stdin, capture_output=True, timeout=30, env=self.env)
        return done.returncode, done.stdout, done.stderr.decode("utf-8", "replace")

    def curl(self, url, *extra):
        """The answer as it came, head and body; curl's exit status; its complaint."""
        return self.tool("curl", "-sS", "--max-time", "20", "-i", "--raw", "--suppress-connect-headers",
                         "-x", "http://127.0.0.1:%d" % self.proxy, "--cacert", self.ca_pem,
                         "--http1.1", *extra, url)

    @staticmethod
    def sent_headers():
        return [a for k, v in SENT.items() for a in ("-H", "%s: %s" % (k.replace("_", "-").title(), v))]

    def https(self, name, path="/page.html"):
        return "https://127.0.0.1:%d%s" % (self.ports[name], path)

    def log(self, name):
        path = os.path.join(self.work, "logs", name + ".log")
        with open(path, "rb") as f:
            return [dict(zip(LOG_FIELDS, line.decode("latin-1").rstrip("\n").split("|")))
                    for line in f]

    def log_after(self, name, seen, wait=2.0, count=1):
        """Lines the origin logged past the first `seen` once there are `count` (nginx
        logs just after answering), or after `wait` seconds."""
        deadline = time.time() + wait
        while True:
            lines = self.log(name)[seen:]
            if len(lines) >= count or time.time() > deadline:
                return lines
            time.sleep(0.05)

    def proxy_log(self, since=0, until=None):
        """The monitor's lines from byte `since` on, once until(text) holds (the proxy
        prints a moment after the fact) or after two seconds."""
        deadline = time.time() + 2
        while True:
            with open(os.path.join(self.work, "proxy.log"), "rb") as f:
                f.seek(since)
                text = f.read().decode("utf-8", "replace")
            if until is None or until(text) or time.time() > deadline:
                return text
            time.sleep(0.05)

    def proxy_log_size(self):
        return os.path.getsize(os.path.join(self.work, "proxy.log"))

    @staticmethod
    def tls_entries(text):
        """Every 【TLS】 entry the monitor showed: its side and its lines by name."""
        out = []
        for m in re.finditer(r"^(LAN|WAN) \| 【TLS】.*\n((?:\1 \| [^:\n]+ : .*\n)+)", text, re.M):
            lines = re.findall(r"\| ([^:\n]+) : (.*)", m.group(2))
            out.append(dict(lines, side=m.group(1)))
        return out

    def served_certificate(self, host):
        """The first certificate `openssl s_client` through the proxy is given for the
        good origin, as `x509 -text`; kept as WORK/served-HOST.pem."""
        argv = ["openssl", "s_client", "-proxy", "127.0.0.1:%d" % self.proxy,
                "-connect", "%s:%d" % (host, self.ports["good"]), "-showcerts"]
        if not is_ip(host):
            argv += ["-servername", host]
        _, out, _ = self.tool(*argv)
        m = re.search(rb"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----\n", out, re.S)
        with open(os.path.join(self.work, "served-%s.pem" % host), "wb") as f:
            f.write(m.group(0) if m else b"")
        _, text, _ = self.tool("openssl", "x509", "-text", "-noout", stdin=m.group(0) if m else b"")
        return text.decode()

    def name(self, pem_file, which="-subject"):
        """A certificate's subject or (-issuer) issuer."""
        _, out, _ = self.tool("openssl", "x509", "-noout", which, "-nameopt", "RFC2253",
                              "-in", os.path.join(self.work, pem_file))
        return out.decode().split("=", 1)[-1].strip()


def is_ip(host):
    return re.match(r"^[\d.]+$", host) is not None


# ---- the rows' checks: each returns what went wrong, nothing when all is well ----

def header_rules(run, arg):
    """arg: what the origin sees, or that with the origin and curl's options."""
    expected, origin, *flags = arg if isinstance(arg, tuple) else (arg, "good")
    seen = len(run.log(origin))
    rc, out, err = run.curl(run.https(origin, "/one.png"), *run.sent_headers(), *flags)
    if rc != 0 or not re.match(rb"HTTP/(1\.1|2) 200 ", out):
        return ["curl exit %d, %s, %r" % (rc, err.strip(), out[:40])]
    lines = run.log_after(origin, seen)
    got = [{k: v for k, v in line.items() if k in expected} for line in lines]
    return [] if got == [expected] else ["nginx saw %s, expected %s" % (got, expected)]


def post_refused(run, _):
    """A POST inside an intercepted CONNECT, sent by hand: curl would not show the
    refusal's bytes as they are."""
    seen = len(run.log("good"))
    with https_h2.tls_through(run, run.ports["good"]) as tls:
        tls.sendall(b"POST /page.html HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\na=1")
        got = b""
        try:
            while data := tls.recv(65536):
                got += data
        except ssl.SSLEOFError:  # closed without close_notify
            pass
    problems = [] if got == b"HTTP/1.0 999" else ["the browser got %r" % got[:200]]
    if run.log_after("good", seen, wait=0.5):
        problems.append("nginx saw %s" % run.log("good")[seen:])
    return problems


def without_date(answer):
    return re.sub(rb"\r\nDate: [^\r]*", b"", answer)


def html_rules(run, _):
    before = run.proxy_log_size()
    rc, intercepted, err = run.curl(run.https("good"))
    rc2, plain, err2 = run.curl("http://127.0.0.1:%d/page.html" % run.ports["plain"])
    if rc or rc2:
        return ["curl exit %d (%s) over HTTPS, %d (%s) over HTTP" % (rc, err, rc2, err2)]
    head, _, body = intercepted.partition(b"\r\n\r\n")
    size = len(PAGE.encode())
    problems = []
    # The same bytes, streamed, but for the connection the origin was asked to keep.
    if without_date(intercepted).replace(b"Connection: keep-alive", b"Connection: close") \
            != without_date(plain):
        problems.append("over HTTPS %r, over HTTP %r" % (intercepted, plain))
    if not re.search(rb"\r\nXXXXXXXXXX: Y{%d}\r\n" % len("tarnwick_e2e=stored; Path=/"), head) \
            or b"set-cookie" in head.lower():
        problems.append("Set-Cookie not neutralised: %r" % head)
    if len(body) != size or b"Content-Length: %d\r\n" % size not in head:
        problems.append("body of %d bytes for a page of %d: %r" % (len(body), size, head))
    if body.count(b"<ZZZZZZ") != 2 or b"document.title" in body:
        problems.append("scripts left: %r" % body)
    def passed(entries):
        return [e for e in entries if e["side"] == "WAN" and e.get("Verify") == "OK"
                and e.get("Host") == "127.0.0.1:%d" % run.ports["good"]
                and e.get("Protocol", "").startswith("TLSv1.")]
    tls = run.tls_entries(run.proxy_log(before, lambda t: passed(run.tls_entries(t))))
    if not passed(tls):
        problems.append("no 【TLS】 entry with Verify : OK for the origin: %s" % tls)
    return problems


def dechunked(body):
    """The data of a chunked body, and whether its last chunk came."""
    data = b""
    while True:
        size_line, sep, rest = body.partition(b"\r\n")
        if not sep:
            return data, False
        size = int(size_line.split(b";")[0] or b"x", 16)
        if size == 0:
            return data, True
        data, body = data + rest[:size], rest[size + 2:]


def compressed(run, _):
    """A page its origin compresses: asked for in the codings the proxy decodes, decoded,
    filtered like any other, and sent in chunks."""
    seen = len(run.log("gzip"))
    rc, answer, err = run.curl(run.https("gzip"), "-H", "Accept-Encoding: gzip, br;q=0.9, dcb")
    if rc:
        return ["curl exit %d (%s)" % (rc, err)]
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = run.log_after("gzip", seen)
    problems = []
    if not lines or lines[0].get("accept_encoding") != "gzip, br;q=0.9" \
            or lines[0].get("content_encoding") != "gzip":
        problems.append("the origin was asked / answered: %s" % lines)
    if b"content-encoding" in head.lower() or b"\r\ntransfer-encoding: chunked" not in head.lower():
        problems.append("head %r" % head)
    page, ended = dechunked(body)
    if not ended or len(page) != len(PAGE.encode()) or page.count(b"<ZZZZZZ") != 2 \
            or b"document.title" in page:
        problems.append("body %r" % body)
    return problems


def bad_origin(run, arg):
    name, words, *flags = arg
    seen = len(run.log(name))
    before = run.proxy_log_size()
    rc, out, err = run.curl(run.https(name), *flags)
    head, _, body = out.partition(b"\r\n\r\n")
    problems = []
    if rc != 0 or not re.match(rb"HTTP/(1\.1|2) 502 ", head) or words.encode() not in body:
        problems.append("curl exit %d (%s), answer %r" % (rc, err.strip(), out[:80]) +
                        (" saying %r" % re.findall(r"<p>(.*?)</p>", body.decode("utf-8", "replace"))
                         if body else ""))
    if run.log_after(name, seen, wait=0.5):
        problems.append("the origin saw %s" % run.log(name)[seen:])
    verify = [e.get("Verify") for e in run.tls_entries(run.proxy_log(before, lambda t: "WAN | Verify" in t))
              if e["side"] == "WAN"]
    if not verify or "OK" in verify:
        problems.append("monitor 【TLS】 Verify lines %s" % verify)
    return problems


def minted(run, host):
    text = run.served_certificate(host)
    if not text:
        return ["s_client got no certificate"]
    problems = []
    if run.name("served-%s.pem" % host, "-issuer") != run.name("tarnwick-ca.pem"):
        problems.append("issuer %s" % re.findall(r"Issuer: (.*)", text))
    san = re.search(r"Subject Alternative Name:.*\n\s*(.*)", text)
    want = ("IP Address:" if is_ip(host) else "DNS:") + host
    if not san or san.group(1).strip() != want:
        problems.append("SAN %r, expected %r" % (san and san.group(1), want))
    dates = [calendar.timegm(time.strptime(re.search(r"%s ?: (.*GMT)" % k, text).group(1),
                                           "%b %d %H:%M:%S %Y %Z"))
             for k in ("Not Before", "Not After")]
    if abs(dates[0] - (time.time() - DAY)) > 600 or abs(dates[1] - dates[0] - 90 * DAY) > 600:
        problems.append("valid from %s to %s" % tuple(time.strftime("%F %T", time.gmtime(d)) for d in dates))
    serial = re.search(r"Serial Number:\s*\n\s*([0-9a-f:]+)|Serial Number: (\d+)", text)
    bits = (int(serial.group(1).replace(":", ""), 16) if serial.group(1) else int(serial.group(2))).bit_length()
    if bits < 64:
        problems.append("serial of %d bits" % bits)
    if "NIST CURVE: P-256" not in text or "id-ecPublicKey" not in text:
        problems.append("key: %s" % re.findall(r"Public Key Algorithm: .*|ASN1 OID: .*", text))
    rc, out, _ = run.tool("openssl", "verify", "-CAfile", run.ca_pem,
                          os.path.join(run.work, "served-%s.pem" % host))
    if rc:
        problems.append("does not verify against the CA: %s" % out.decode().strip())
    return problems


def ca_files(run, _):
    problems = []
    for path, mode in ((run.ca_dir, 0o700), (os.path.join(run.ca_dir, "ca.key"), 0o600)):
        if os.stat(path).st_mode & 0o777 != mode:
            problems.append("%s has mode %o" % (path, os.stat(path).st_mode & 0o777))
    _, text, _ = run.tool("openssl", "x509", "-text", "-noout", "-in", os.path.join(run.ca_dir, "ca.crt"))
    text = text.decode()
    if not re.search(r"Basic Constraints: critical\n\s*CA:TRUE, pathlen:0\n", text):
        problems.append("basic constraints %s" % re.findall(r"Basic Constraints.*\n.*", text))
    if not re.search(r"Key Usage: critical\n\s*Certificate Sign, CRL Sign\n", text):
        problems.append("key usage %s" % re.findall(r"Key Usage.*\n.*", text))
    return problems


def origin_certificate(run, _=None):
    """Nothing when the client is given the origin's own certificate."""
    run.served_certificate("127.0.0.1")
    issuer, testca = run.name("served-127.0.0.1.pem", "-issuer"), run.name("tls/testca.pem")
    return [] if issuer == testca else ["the client got a certificate from %r, not %r" % (issuer, testca)]


def unusable_ca(run, damage):
    key = os.path.join(run.ca_dir, "ca.key")
    kept = key + ".kept"
    shutil.copy2(key, kept)
    before = run.proxy_log_size()
    try:
        if damage == "chmod":
            os.chmod(key, 0o644)
        else:
            with open(key, "r+b") as f:
                f.truncate(40)
        problems = origin_certificate(run)
        text = run.proxy_log(before, lambda t: "トンネルで中継します" in t)
        if not re.search(r"^LAN status: HTTPS検査不可 : \d+$", text, re.M):
            problems.append("no status HTTPS検査不可")
        why = re.findall(r"^LAN \| Verify : HTTPS検査を行えません（(.*)）。トンネルで中継します。$", text, re.M)
        if not why or "ca.key" not in why[0]:
            problems.append("monitor says %s" % [e.get("Verify") for e in run.tls_entries(text)])
        return problems
    finally:
        os.replace(kept, key)


# ---- the table --------------------------------------------------------------------

# (row, settings for the row's time, check, the check's argument)
ROWS = [
    ("header rules at their defaults: deleted, Connection/Proxy-Connection keep-alive",
     {}, header_rules, DELETED),
    ("header rules ○: passed as sent",
     {"Referer": "○", "UserAgent": "○", "IfModifiedSince": "○", "Cookie": "○"}, header_rules, PASSED),
    ("header rules △: Referer, User-Agent, If-Modified-Since faked",
     {"Referer": "△", "UserAgent": "△", "IfModifiedSince": "△"}, header_rules, FAKED),
    ("POST refused inside HTTPS: exactly HTTP/1.0 999, nothing to the origin", {}, post_refused, None),
    ("HTML rules inside HTTPS: same bytes as over plain HTTP, length kept", {}, html_rules, None),
    ("expired origin certificate: 502", {}, bad_origin, ("expired", "有効期限が切れています")),
    ("origin certificate for another host: 502",
     {}, bad_origin, ("wronghost", "このホスト名のものではありません")),
    ("self-signed origin certificate: 502", {}, bad_origin, ("selfsigned", "発行者を信頼できません")),
    ("origin certificate from an untrusted CA: 502", {}, bad_origin, ("untrusted", "発行者を信頼できません")),
    ("origin offering only TLS 1.0: 502", {}, bad_origin, ("tls10", "ハンドシェイクに失敗しました")),
    ("minted for an IP address", {}, minted, "127.0.0.1"),
    ("minted for a host name", {}, minted, "localhost"),
    ("CA folder 0700, key 0600, CA certificate constrained", {}, ca_files, None),
    ("CA key readable by others: monitor says so, plain tunnel", {}, unusable_ca, "chmod"),
    ("CA key truncated: monitor says so, plain tunnel", {}, unusable_ca, "truncate"),
    ("HTTPS検査 ×: the origin's own certificate", {"HTTPS検査": "×"}, origin_certificate, None),
    ("host in 検査除外: the origin's own certificate",
     {"検査除外": "*.example.test, 127.0.0.1"}, origin_certificate, None),
    ("Chromium trusting the CA: no script, no cookie, image shown", {}, https_chromium.browser, True),
    ("Chromium without the CA: certificate error", {}, https_chromium.browser, False),
    ("Chromium, a page of 40 resources: whole, no script, fewer CONNECTs than requests",
     {}, https_chromium.forty_resources, None),
    ("Chromium, UserAgent △: no user-agent hint, the fake User-Agent, no Accept-CH; at ○ the hints sent",
     {"UserAgent": "△"}, https_chromium.client_hints,
     dict(dict.fromkeys(LOG_FIELDS[-4:], "-"), user_agent=FAKED["user_agent"])),
    ("Chromium, HTTP/2, a page of every script form: none ran, its text shown; at Script ○ each ran",
     {}, https_chromium.script_forms, None),
    ("a compressed page: the browser's codings asked for, decoded, filtered, chunked",
     {}, compressed, None),
    ("HTTP/2 both sides: header rules at defaults, page filtered, the stream in the monitor",
     {}, https_h2.page_over_h2, ("h2", H2_DELETED)),
    ("HTTP/2 browser, HTTP/1.1 origin: the same, the origin asked in HTTP/1.1",
     {}, https_h2.page_over_h2, ("good", dict(DELETED, protocol="HTTP/1.1"))),
    ("HTTP/2 both sides: header rules ○ passed as sent",
     {"Referer": "○", "UserAgent": "○", "IfModifiedSince": "○", "Cookie": "○"},
     header_rules, (dict(PASSED, **H2_FIELDS), "h2", "--http2")),
    ("HTTP/2 browser, HTTP/1.1 origin: header rules △ faked",
     {"Referer": "△", "UserAgent": "△", "IfModifiedSince": "△"}, header_rules, (FAKED, "good", "--http2")),
    ("an origin speaking only HTTP/2: page filtered, header rules applied",
     {}, https_h2.only_h2_origin, "--http2"),
    ("an origin speaking only HTTP/2, an HTTP/1.1 browser: bridged, page filtered, rules applied",
     {}, https_h2.only_h2_origin, "--http1.1"),
    ("HTTP/2, 40 streams at once to an HTTP/2 origin: whole, over one origin connection",
     {}, https_h2.forty_streams, "h2"),
    ("HTTP/2, 40 streams at once to an HTTP/1.1 origin: whole, over at most six origin connections",
     {}, https_h2.forty_streams, "good"),
    ("HTTP/2, 64 MiB to a slow browser: whole, the proxy's memory bounded",
     {}, https_h2.slow_download, None),
    ("HTTP/2, 300 kB answers one after another to a slow reader: none waits", {}, https_h2.slow_reader, None),
    ("HTTP/2, the origin's connection going away beside a long answer: the next request not held",
     {}, https_h2.after_goaway, "h2bye"),
    ("HTTP/2, a stream reset mid-answer (HTTP/2 origin): the origin stops, the next stream whole",
     {}, https_h2.reset_mid_answer, "h2"),
    ("HTTP/2, a stream reset mid-answer (HTTP/1.1 origin): the origin stops, the next stream whole",
     {}, https_h2.reset_mid_answer, "good"),
    ("HTTP/2, a page beside a long answer (HTTP/2 origin): not held behind it",
     {}, https_h2.beside_long_answer, "h2"),
    ("HTTP/2, a page beside a long answer (HTTP/1.1 origin): not held behind it",
     {}, https_h2.beside_long_answer, "good"),
    ("HTTP/2, streams reset by the thousand: GOAWAY ENHANCE_YOUR_CALM, the next browser served",
     {}, https_h2.rapid_reset, "good"),
    ("HTTP/2, POST with its rule unset: 999, nothing to the origin", {}, https_h2.post_refused, "999"),
    ("HTTP/2, POST ×: the stream reset, nothing to the origin", {"POST": "×"}, https_h2.post_refused, None),
    ("HTTP/2, expired origin certificate: 502",
     {}, bad_origin, ("expired", "有効期限が切れています", "--http2")),
]


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "site":
        make_site(sys.argv[2])
        return 0
    if len(sys.argv) < 5 or sys.argv[1] != "run":
        print(__doc__, file=sys.stderr)
        return 2
    ports = {name: int(port) for name, port in (a.split(":") for a in sys.argv[5:])}
    run = Run(sys.argv[2], sys.argv[3], int(sys.argv[4]), ports)

    def row(settings, check, arg):
        # Each row's settings, for its time only.
        for key, value in settings.items():
            run.settings("set", key, value)
        try:
            return check(run, arg)
        finally:
            for key in settings:
                run.settings(*(["set", key, BASE[key]] if key in BASE else ["remove", key]))

    return browser_site.run_rows((name, lambda s=settings, c=check, a=arg: row(s, c, a))
                                 for name, settings, check, arg in ROWS)


if __name__ == "__main__":
    sys.exit(main())
