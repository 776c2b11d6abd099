#!/usr/bin/env python3
"""The cases of https_interception.sh: one table of rows, each with the settings it
needs for its time, run against the proxy and the origins that script started.

  https_interception.py site WWW
      writes the site every origin serves into WWW
  https_interception.py run WORK TARNWICK-SETTINGS PROXY-PORT NAME:PORT...
      runs every row, prints PASS/FAIL per row, exits 1 when any row fails

Standard library only. CHROMIUM names the browser command (default: chromium).
"""

import calendar
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser_site  # noqa: E402

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

PAGE_STATE = """(() => {
  const png = document.getElementById('png');
  return {title: document.title, kept: document.getElementById('kept').textContent,
          scripts: document.getElementsByTagName('script').length,
          z: document.getElementsByTagName('zzzzzz').length, cookie: document.cookie,
          png: png && png.complete ? png.naturalWidth : -1};
})()"""

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
              "connection", "proxy_connection", "accept_encoding", "content_encoding"]
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


class Run:
    def __init__(self, work, settings, proxy_port, ports):
        self.work, self.settings_tool, self.proxy = work, settings, proxy_port
        self.ports = ports
        self.ca_pem = os.path.join(work, "tarnwick-ca.pem")
        self.ca_dir = os.path.join(work, "data", "Tarnwick", "ca")
        self.env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}

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
                         *extra, url)

    def https(self, name, path="/page.html"):
        return "https://127.0.0.1:%d%s" % (self.ports[name], path)

    def log(self, name):
        path = os.path.join(self.work, "logs", name + ".log")
        with open(path, "rb") as f:
            return [dict(zip(LOG_FIELDS, line.decode("latin-1").rstrip("\n").split("|")))
                    for line in f]

    def log_after(self, name, seen, wait=2.0):
        """Lines the origin logged past the first `seen` (nginx logs just after answering)."""
        deadline = time.time() + wait
        while True:
            lines = self.log(name)[seen:]
            if lines or time.time() > deadline:
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

def header_rules(run, expected):
    seen = len(run.log("good"))
    sent = [a for k, v in SENT.items() for a in ("-H", "%s: %s" % (k.replace("_", "-").title(), v))]
    rc, out, err = run.curl(run.https("good", "/one.png"), *sent)
    if rc != 0 or not out.startswith(b"HTTP/1.1 200 "):
        return ["curl exit %d, %s, %r" % (rc, err.strip(), out[:40])]
    lines = run.log_after("good", seen)
    got = [{k: v for k, v in line.items() if k in expected} for line in lines]
    return [] if got == [expected] else ["nginx saw %s, expected %s" % (got, expected)]


def post_refused(run, _):
    """A POST inside an intercepted CONNECT, sent by hand: curl would not show the
    refusal's bytes as they are."""
    seen, port = len(run.log("good")), run.ports["good"]
    with socket.create_connection(("127.0.0.1", run.proxy), timeout=20) as raw:
        raw.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (port, port))
        head = b""
        while not head.endswith(b"\r\n\r\n") and len(head) < 1000:
            head += raw.recv(1) or b"?"
        with ssl.create_default_context(cafile=run.ca_pem).wrap_socket(
                raw, server_hostname="127.0.0.1") as tls:
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
    name, words = arg
    seen = len(run.log(name))
    before = run.proxy_log_size()
    rc, out, err = run.curl(run.https(name))
    head, _, body = out.partition(b"\r\n\r\n")
    problems = []
    if rc != 0 or not head.startswith(b"HTTP/1.1 502 ") or words.encode() not in body:
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


def browser_home(run, name, trusted):
    """A HOME for Chromium whose NSS database trusts the proxy's CA when `trusted`;
    raises RuntimeError when certutil fails."""
    home = os.path.join(run.work, "home-%s" % name)
    nssdb = os.path.join(home, ".pki", "nssdb")
    os.makedirs(nssdb)
    if trusted:
        for argv in (["-N", "--empty-password"], ["-A", "-t", "C,,", "-n", "Tarnwick", "-i", run.ca_pem]):
            rc, _, err = run.tool("certutil", "-d", "sql:" + nssdb, *argv)
            if rc:
                raise RuntimeError("certutil %s: %s" % (argv[0], err))
    return home


def browser(run, trusted):
    home = browser_home(run, "ca" if trusted else "none", trusted)
    seen, before = len(run.log("good")), run.proxy_log_size()
    url = run.https("good")
    b = browser_site.Browser(home + "/profile", run.proxy, os.path.join(run.work, "chromium.log"), home)
    try:
        tab = browser_site.Tab(b)
        tab.navigate(url)
        state = (tab.evaluate(PAGE_STATE) or {}) if trusted else {}
        cookies = browser_site.stored_cookies(b)
        failures = list(tab.failures)
    finally:
        b.close()
    requests = [(e["request"].split(" ")[1], e["user_agent"]) for e in run.log("good")[seen:]]
    if not trusted:
        # The proxy's monitor tells of the browser's refusal too.
        lan = [e.get("Verify") for e in run.tls_entries(run.proxy_log(before, lambda t: "LAN | Verify" in t))
               if e["side"] == "LAN"]
        refused = [e for u, e in failures if u == url]
        return [] if refused == ["net::ERR_CERT_AUTHORITY_INVALID"] and not requests \
            and lan and "OK" not in lan else \
            ["failures %s, nginx saw %s, monitor LAN 【TLS】 Verify %s" % (failures, requests, lan)]
    problems = []
    if state.get("title") != "intercepted" or state.get("scripts") != 0 or state.get("z") != 2:
        problems.append("scripts: %s" % state)
    if state.get("cookie") != "" or cookies:
        problems.append("cookie %r, stored %s" % (state.get("cookie"), cookies))
    if state.get("png", -1) <= 0 or state.get("kept") != "kept text":
        problems.append("page or image missing: %s, failures %s" % (state, failures))
    # Inside the CONNECT the header rules applied: nginx sees no User-Agent.
    if sorted(requests) != [("/one.png", "-"), ("/page.html", "-")]:
        problems.append("nginx saw %s" % requests)
    return problems


def forty_resources(run, _):
    """The whole page arrives through interception, and its requests share
    connections: fewer CONNECTs than requests."""
    home = browser_home(run, "forty", True)
    seen, before = len(run.log("good")), run.proxy_log_size()
    b = browser_site.Browser(home + "/profile", run.proxy, os.path.join(run.work, "chromium.log"), home)
    try:
        tab = browser_site.Tab(b)
        loaded = tab.navigate(run.https("good", "/forty.html"))
        state = tab.evaluate(browser_site.FORTY_STATE) or {}
        # The favicon Chromium asks for on its own is no part of the page (and the
        # icon rule refuses it).
        failures = [f for f in tab.failures if not f[0].endswith("/favicon.ico")]
    finally:
        b.close()
    requests = [e["request"].split(" ")[1] for e in run.log_after("good", seen)]
    connects = len(re.findall(r"^LAN \| Data : CONNECT ", run.proxy_log(before, lambda t: False), re.M))
    problems = []
    if not loaded or failures or state.get("images_loaded") != browser_site.FORTY_IMAGES \
            or state.get("images") != browser_site.FORTY_IMAGES \
            or state.get("sheets_loaded") != browser_site.FORTY_SHEETS:
        problems.append("not whole: loaded %s, %s, failures %s" % (loaded, state, failures))
    if state.get("title") != "forty" or state.get("ran") or state.get("scripts") \
            or [r for r in requests if r.endswith(".js")]:
        problems.append("scripts: %s, nginx saw %s" % (state, [r for r in requests if r.endswith(".js")]))
    if connects >= len(requests):
        problems.append("%d CONNECTs for the %d requests nginx saw: no connection carried a second request"
                        % (connects, len(requests)))
    return problems


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
    ("Chromium trusting the CA: no script, no cookie, image shown", {}, browser, True),
    ("Chromium without the CA: certificate error", {}, browser, False),
    ("Chromium, a page of 40 resources: whole, no script, fewer CONNECTs than requests",
     {}, forty_resources, None),
    ("a compressed page: the browser's codings asked for, decoded, filtered, chunked",
     {}, compressed, None),
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
