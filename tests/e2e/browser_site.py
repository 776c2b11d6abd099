#!/usr/bin/env python3
"""The browser half of browser_site.sh: the site's files, and a headless Chromium
driven over its DevTools pipe through the proxy, with the checks on what the
browser, nginx and the scripted origin saw.

  browser_site.py site WWW WEB-PORT ORIGIN-PORT
      writes the site nginx serves into WWW
  browser_site.py run WORK WEB-PORT ORIGIN-PORT PROXY-PORT
      loads the site twice with one profile (WORK/profile), prints PASS/FAIL per
      check, exits 1 when any check fails

Standard library only. CHROMIUM names the browser command (default: chromium).
"""

import json
import os
import re
import select
import string
import struct
import subprocess
import sys
import time
import zlib

NAV_TIMEOUT = 20   # seconds for one page to load
SETTLE_LIMIT = 10  # seconds to wait for a page's last requests to end
# A long URL, just under the 64 KiB the proxy allows a request head; it often
# reaches the proxy in more than one piece. (The relay tests cut heads exactly.)
LONG_TARGET = 60 * 1024

TEXTAREA = b"first line\r\n\r\nthird line"  # as the form sends it: CR LF line ends


# ---- the site -------------------------------------------------------------------

def png_chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data +
            struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff))


def png(width, height):
    chunk = png_chunk
    rows = b"".join(b"\0" + b"\x20\x80\xc0" * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


# One opaque pixel: two-colour table, one LZW-coded image block.
GIF = (b"GIF89a\x01\x00\x01\x00\x80\x00\x00\x20\x80\xc0\xff\xff\xff"
       b",\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;")


def make_site(www, web_port, origin_port):
    origin = "http://127.0.0.1:%d" % origin_port
    files = {
        # Every script here would change what the checks read if it ran.
        "index.html": f"""<!DOCTYPE html>
<html><head><title>site</title>
<link rel="stylesheet" href="/style.css">
<script src="/app.js"></script>
<script>document.title = 'script ran';</script>
</head><body>
<p id="kept">kept text</p>
<img id="png" src="/one.png">
<img id="gif" src="/two.gif?x=Referer:y">
<img id="moved" src="/old.png">
<img id="temp" src="{origin}/temporary.gif">
</body></html>
""",
        "app.js": "document.getElementById('kept').textContent = 'app.js ran';\n",
        "style.css": "#kept { color: rgb(0, 128, 0); }\n",
        "cookie.html": "<html><head><title>cookie</title></head><body>"
                       "<p id=\"cookie\">cookie page</p></body></html>\n",
        "form.html": f"""<html><head><title>form</title></head><body>
<form method="post" enctype="multipart/form-data" action="{origin}/post">
<textarea name="note">
first line

third line</textarea>
<input type="hidden" name="after" value="tail-value">
</form></body></html>
""",
        # Far above gzip_min_length, so nginx compresses it for any client asking.
        "gz/page.html": "<html><head><title>gz</title></head><body>\n"
                        "<p id=\"gzkept\">kept text</p>\n"
                        "<script>document.getElementById('gzkept').textContent = 'script ran';</script>\n" +
                        "".join("<p>filler line %d of the compressible page</p>\n" % n
                                for n in range(200)) +
                        "</body></html>\n",
    }
    os.makedirs(os.path.join(www, "gz"), exist_ok=True)
    make_forms(www, "http://127.0.0.1:%d" % web_port)
    for name, text in files.items():
        with open(os.path.join(www, name), "w") as f:
            f.write(text)
    with open(os.path.join(www, "one.png"), "wb") as f:
        f.write(png(3, 2))
    with open(os.path.join(www, "moved.png"), "wb") as f:
        f.write(png(2, 4))
    with open(os.path.join(www, "two.gif"), "wb") as f:
        f.write(GIF)
    for root, dirs, names in os.walk(www):
        for d in dirs:
            os.chmod(os.path.join(root, d), 0o755)
        for n in names:
            os.chmod(os.path.join(root, n), 0o644)



# A page holding every form a script takes, each asking its origin for /ran/ and its
# own name when it runs; the data: document has no origin, so every URL is absolute.
FORMS_PAGE = """<!DOCTYPE html>
<html><head><title>forms</title>
<script>new Image().src = '{o}/ran/script';</script>
<script src="/forms.js"></script>
<SCRIPT LANGUAGE="JavaScript">new Image().src = '{o}/ran/script-language';</SCRIPT>
</head><body onload="new Image().src = '{o}/ran/body-onload'">
<p id="kept">kept text</p>
<svg><script>new Image().src = '{o}/ran/svg-script';</script></svg>
<img src="x" onerror="new Image().src = '{o}/ran/img-onerror'">
<svg onload="new Image().src = '{o}/ran/svg-onload'"></svg>
<input autofocus onfocus="new Image().src = '{o}/ran/input-onfocus'">
<details open ontoggle="new Image().src = '{o}/ran/details-ontoggle'"><summary>more</summary></details>
<video><source src="x" onerror="new Image().src = '{o}/ran/source-onerror'"></video>
<iframe src="javascript:void(new Image().src = '{o}/ran/iframe-javascript')"></iframe>
<iframe src="javascript&#58;void(new Image().src = '{o}/ran/iframe-javascript-58')"></iframe>
<iframe srcdoc="&lt;script&gt;new Image().src = '{o}/ran/iframe-srcdoc'&lt;/script&gt;"></iframe>
<object data="data:text/html,&lt;script&gt;new Image().src = '{o}/ran/object-data'&lt;/script&gt;"></object>
</body></html>
"""
FORMS = sorted(re.findall(r"/ran/([\w-]+)", FORMS_PAGE) + ["script-src"])
# What a browser shows of the page: the text, and the protocol it was fetched in.
FORMS_STATE = """(() => ({title: document.title, kept: (document.getElementById('kept') || {}).textContent,
  protocol: (performance.getEntriesByType('navigation')[0] || {}).nextHopProtocol}))()"""


def make_forms(www, origin):
    """Writes the page of every script form (forms.html, forms.js) for `origin`."""
    for name, text in (("forms.html", FORMS_PAGE.format(o=origin)),
                       ("forms.js", "new Image().src = '/ran/script-src';\n")):
        with open(os.path.join(www, name), "w") as f:
            f.write(text)
        os.chmod(os.path.join(www, name), 0o644)


def path_of(target):
    """A request target's path, also of an absolute URL (as a proxy asks an origin)."""
    return re.sub(r"^https?://[^/]*", "", target)


def ran(targets):
    """The forms whose request is among these request targets, sorted."""
    return sorted(p[len("/ran/"):] for p in map(path_of, targets) if p.startswith("/ran/"))


# The forty-resource page: 24 images, 12 style sheets and 4 scripts under /forty/,
# of a few to some tens of KiB each, the images noisy so that they do not compress.
FORTY_IMAGES, FORTY_SHEETS, FORTY_SCRIPTS = 24, 12, 4


def make_forty(www):
    """Writes WWW/forty.html and its resources; returns how many resources it has."""
    import random
    rnd = random.Random(40)
    folder = os.path.join(www, "forty")
    os.makedirs(folder, exist_ok=True)
    files = {}
    for n in range(FORTY_IMAGES):
        side = 24 + 8 * n  # 24 to 208 pixels square: about 2 to 130 KiB
        rows = b"".join(b"\0" + rnd.randbytes(3 * side) for _ in range(side))
        files["i%02d.png" % n] = (
            b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0)) +
            png_chunk(b"IDAT", zlib.compress(rows, 1)) + png_chunk(b"IEND", b""))
    for n in range(FORTY_SHEETS):
        files["s%02d.css" % n] = ("#kept { margin-left: %dpx; }\n" % n + "".join(
            ".c%d-%d { padding: %dpx %dpx; color: rgb(%d, %d, %d); }\n"
            % (n, k, k % 9, k % 7, k % 255, (k * 7) % 255, (k * 13) % 255) for k in range(60 + 20 * n))).encode()
    for n in range(FORTY_SCRIPTS):
        files["j%02d.js" % n] = ("window.ran = (window.ran || 0) + 1;\ndocument.title = 'script ran';\n" +
                                 "".join("var v%d_%d = %d;\n" % (n, k, k * k) for k in range(600))).encode()
    page = ["<!DOCTYPE html>\n<html><head><title>forty</title>\n"]
    page += ['<link rel="stylesheet" href="/forty/s%02d.css">\n' % n for n in range(FORTY_SHEETS)]
    page += ['<script src="/forty/j%02d.js"></script>\n' % n for n in range(FORTY_SCRIPTS)]
    page.append('</head><body>\n<p id="kept">kept text</p>\n')
    page += ['<img src="/forty/i%02d.png" alt="">\n' % n for n in range(FORTY_IMAGES)]
    page.append("</body></html>\n")
    files["../forty.html"] = "".join(page).encode()
    for name, data in files.items():
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, 0o644)
    os.chmod(folder, 0o755)
    return FORTY_IMAGES + FORTY_SHEETS + FORTY_SCRIPTS


# What the forty-resource page shows once loaded, with its load time from the
# browser's own Navigation Timing (ms from the start of the navigation to the end
# of the load event) and the requests Resource Timing saw.
FORTY_STATE = """(() => {
  const imgs = Array.from(document.images);
  const links = Array.from(document.querySelectorAll('link[rel=stylesheet]'));
  const sheet = l => { try { return l.sheet && l.sheet.cssRules.length > 0; } catch (e) { return false; } };
  const nav = performance.getEntriesByType('navigation')[0] || {};
  return {
    title: document.title, ran: window.ran || 0,
    scripts: document.getElementsByTagName('script').length,
    images: imgs.length, images_loaded: imgs.filter(i => i.complete && i.naturalWidth > 0).length,
    sheets: links.length, sheets_loaded: links.filter(sheet).length,
    requests: performance.getEntriesByType('resource').length,
    load_ms: nav.loadEventEnd || 0
  };
})()"""

# ---- the browser ----------------------------------------------------------------

class BrowserGone(Exception):
    pass


class Browser:
    """Chromium with --remote-debugging-pipe: commands on its fd 3, answers and
    events on its fd 4, each a JSON text ended by a NUL byte."""

    def __init__(self, profile, proxy_port, log_path, home, network=None):
        """network: the proxy and name-resolution flags to use instead of the ones
        below (which keep everything but 127.0.0.1 from the proxy and the network)."""
        cmd_read, self.cmd_write = os.pipe()
        self.evt_read, evt_write = os.pipe()

        def child():
            a, b = os.dup(cmd_read), os.dup(evt_write)
            os.dup2(a, 3)
            os.dup2(b, 4)

        argv = [os.environ.get("CHROMIUM", "chromium"), "--headless",
                "--remote-debugging-pipe", "--user-data-dir=" + profile]
        if network is not None:
            argv += network
        # No proxy port: the browser takes the proxy from the desktop's settings.
        elif proxy_port is not None:
            argv += ["--proxy-server=http://127.0.0.1:%d" % proxy_port,
                     # Loopback addresses go through the proxy (Chromium bypasses them
                     # otherwise); host names, all ending in a letter, go past it and find
                     # no address: whatever Chromium asks of outside hosts for itself
                     # reaches neither the proxy nor the network.
                     "--proxy-bypass-list=<-loopback>;" + ";".join("*" + c for c in string.ascii_lowercase)]
        if network is None:
            argv.append("--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1")
        argv += ["--disable-gpu", "--disable-quic", "--no-first-run",
                # No traffic of its own to outside hosts.
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--disable-dev-shm-usage"]
        if os.geteuid() == 0:
            argv.append("--no-sandbox")
        argv.append("about:blank")
        self.log = open(log_path, "ab")
        # Whatever it keeps outside the profile stays in the work tree too.
        os.makedirs(home, exist_ok=True)
        self.proc = subprocess.Popen(argv, preexec_fn=child, pass_fds=(3, 4),
                                     env=dict(os.environ, HOME=home),
                                     stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT)
        os.close(cmd_read)
        os.close(evt_write)
        self.buffer = b""
        self.next_id = 0
        self.handlers = []

    def _read_message(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.time()
            if left <= 0:
                return None
            ready, _, _ = select.select([self.evt_read], [], [], left)
            if not ready:
                return None
            data = os.read(self.evt_read, 1 << 20)
            if not data:
                raise BrowserGone("the browser closed its DevTools pipe")
            self.buffer += data
        text, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(text)

    def _dispatch(self, message):
        for handler in self.handlers:
            handler(message)

    def pump(self, seconds):
        """Handles events for up to `seconds`; returns after the first one."""
        message = self._read_message(time.time() + seconds)
        if message is not None:
            self._dispatch(message)
        return message is not None

    def call(self, method, params=None, session=None, timeout=NAV_TIMEOUT):
        self.next_id += 1
        mine = self.next_id
        message = {"id": mine, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.cmd_write, json.dumps(message).encode() + b"\0")
        deadline = time.time() + timeout
        while True:
            reply = self._read_message(deadline)
            if reply is None:
                raise TimeoutError("no answer to " + method)
            if reply.get("id") == mine:
                if "error" in reply:
                    raise RuntimeError("%s: %s" % (method, reply["error"]))
                return reply.get("result", {})
            self._dispatch(reply)

    def close(self):
        try:
            self.call("Browser.close", timeout=10)
        except (BrowserGone, TimeoutError, RuntimeError, OSError):
            pass
        try:
            self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self.cmd_write)
        os.close(self.evt_read)
        self.log.close()


class Tab:
    """One page target, with every request and answer it sees recorded."""

    def __init__(self, browser):
        self.browser = browser
        targets = browser.call("Target.getTargets")["targetInfos"]
        pages = [t for t in targets if t["type"] == "page"]
        target = pages[0]["targetId"] if pages else \
            browser.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = browser.call("Target.attachToTarget",
                                    {"targetId": target, "flatten": True})["sessionId"]
        self.main_frame = None
        self.stops = 0        # the main frame stopped loading: loaded, or failed
        self.open = {}        # requestId -> URL, requests still under way
        self.answers = []     # (URL, status, headers), redirects included
        self.failures = []    # (URL, error text)
        browser.handlers.append(self._event)
        for domain in ("Page.enable", "Network.enable", "Runtime.enable"):
            self.call(domain)
        self.main_frame = self.call("Page.getFrameTree")["frameTree"]["frame"]["id"]

    def call(self, method, params=None, timeout=NAV_TIMEOUT):
        return self.browser.call(method, params, self.session, timeout)

    def _event(self, m):
        if m.get("sessionId") != self.session:
            return
        method, p = m.get("method"), m.get("params", {})
        if method == "Page.frameStoppedLoading" and p.get("frameId") == self.main_frame:
            self.stops += 1
        elif method == "Network.requestWillBeSent":
            if p.get("redirectResponse"):
                r = p["redirectResponse"]
                self.answers.append((r["url"], r["status"], r.get("headers", {})))
            self.open[p["requestId"]] = p["request"]["url"]
        elif method == "Network.responseReceived":
            r = p["response"]
            self.answers.append((r["url"], r["status"], r.get("headers", {})))
        elif method == "Network.loadingFinished":
            self.open.pop(p["requestId"], None)
        elif method == "Network.loadingFailed":
            url = self.open.pop(p["requestId"], "?")
            if not p.get("canceled"):
                self.failures.append((url, p.get("errorText", "")))

    def _wait(self, done, seconds):
        deadline = time.time() + seconds
        while not done() and time.time() < deadline:
            self.browser.pump(deadline - time.time())
        return done()

    def settle(self):
        """Waits until no request of the page has been under way for a moment."""
        deadline = time.time() + SETTLE_LIMIT
        quiet_since = time.time()
        while time.time() < deadline:
            if self.open:
                quiet_since = time.time()
            elif time.time() - quiet_since > 0.3:
                return
            self.browser.pump(0.1)

    def load(self, trigger):
        """Runs `trigger` (which starts a navigation), then waits until the page has
        loaded, or failed to, and its last requests have ended. False when it took
        too long."""
        before = self.stops
        trigger()
        stopped = self._wait(lambda: self.stops > before, NAV_TIMEOUT)
        self.settle()
        return stopped

    def navigate(self, url):
        return self.load(lambda: self.call("Page.navigate", {"url": url}))

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression,
                                                "returnByValue": True, "awaitPromise": True})
        if "exceptionDetails" in result:
            return {"exception": result["exceptionDetails"].get("text", "")}
        return result["result"].get("value")

    def document_answer(self, url):
        """The last answer the browser got for `url`: (status, headers) or None."""
        for u, status, headers in reversed(self.answers):
            if u == url:
                return status, {k.lower(): v for k, v in headers.items()}
        return None


def stored_cookies(browser):
    return [c for c in browser.call("Storage.getCookies").get("cookies", [])
            if c.get("domain", "").lstrip(".") == "127.0.0.1"]


# What a page shows; -1 for an element that is missing.
PAGE_STATE = """(() => {
  const text = id => { const e = document.getElementById(id); return e ? e.textContent : null; };
  const img = id => { const e = document.getElementById(id); return e && e.complete ? e.naturalWidth : -1; };
  const kept = document.getElementById('kept');
  const z = Array.from(document.getElementsByTagName('zzzzzz'));
  return {
    title: document.title, kept: text('kept'), color: kept ? getComputedStyle(kept).color : '',
    png: img('png'), gif: img('gif'), moved: img('moved'), temp: img('temp'),
    gzkept: text('gzkept'), before: text('before'), after: text('after'),
    got: text('got'), long: text('long'),
    zcount: z.length, zblank: z.every(e => e.textContent.trim() === ''),
    scripts: document.getElementsByTagName('script').length, cookie: document.cookie
  };
})()"""

HEAD_REQUEST = """Promise.race([
  fetch('/one.png', {method: 'HEAD', cache: 'no-store'})
    .then(r => ({status: r.status, length: r.headers.get('content-length')}),
          e => ({error: String(e)})),
  new Promise(done => setTimeout(() => done({error: 'no answer in 20 s'}), 20000))])"""


# ---- what the servers saw -------------------------------------------------------

LOG_LINE = re.compile(r'^\S+ - \S+ \[[^\]]*\] "(.*?)" (\d{3}) (\d+) "(.*?)" "(.*?)"$')


def nginx_log(path):
    """Each access as (request line, status, body bytes, referer, user agent)."""
    entries = []
    if os.path.exists(path):
        with open(path, "rb") as f:
            for raw in f:
                m = LOG_LINE.match(raw.decode("latin-1").rstrip("\n"))
                if m:
                    entries.append((m.group(1), int(m.group(2)), int(m.group(3)),
                                    m.group(4), m.group(5)))
    return entries


def origin_requests(record_dir):
    """Each request the scripted origin read whole, as (head bytes, body bytes)."""
    out = []
    if os.path.isdir(record_dir):
        for name in sorted(os.listdir(record_dir)):
            if name.endswith(".head"):
                base = os.path.join(record_dir, name[:-5])
                with open(base + ".head", "rb") as f:
                    head = f.read()
                body = b""
                if os.path.exists(base + ".body"):
                    with open(base + ".body", "rb") as f:
                        body = f.read()
                out.append((head, body))
    return out


def header_lines(head):
    return head.split(b"\r\n")[1:]


def multipart_expected(boundary):
    parts = [(b"note", TEXTAREA), (b"after", b"tail-value")]
    out = b""
    for name, value in parts:
        out += (b"--" + boundary + b"\r\nContent-Disposition: form-data; name=\"" + name +
                b"\"\r\n\r\n" + value + b"\r\n")
    return out + b"--" + boundary + b"--\r\n"


# ---- the run --------------------------------------------------------------------

class Checks:
    def __init__(self):
        self.failed = 0

    def __call__(self, name, ok, detail=""):
        if ok:
            print("PASS: " + name)
        else:
            self.failed += 1
            print("FAIL: " + name + (" -- " + detail if detail else ""))
        sys.stdout.flush()


def run_rows(rows):
    """Runs (name, check) pairs in order, printing PASS/FAIL per row with the problems
    each check returns (or the error it raised), SKIP where it returns None; 1 when any
    row failed, else 0."""
    failed = 0
    for name, check in rows:
        try:
            problems = check()
        except (BrowserGone, TimeoutError, RuntimeError, OSError,
                subprocess.SubprocessError) as e:
            problems = ["%s: %s" % (type(e).__name__, e)]
        failed += bool(problems)
        print("%s: %s%s" % ("SKIP" if problems is None else "FAIL" if problems else "PASS", name,
                            "".join("\n    " + p for p in problems or [])))
        sys.stdout.flush()
    print("%d row(s) failed" % failed if failed else "all rows passed")
    return 1 if failed else 0


def short(text, limit=160):
    if isinstance(text, bytes):
        text = repr(text)[2:-1]
    text = str(text)
    return text if len(text) <= limit else text[:limit] + "...(%d chars)" % len(text)


def first_line(head):
    return head.split(b"\r\n", 1)[0]


def run(work, web_port, origin_port, proxy_port):
    web = "http://127.0.0.1:%d" % web_port
    origin = "http://127.0.0.1:%d" % origin_port
    www = os.path.join(work, "www")
    access_log = os.path.join(work, "access.log")
    record_dir = os.path.join(work, "origin")
    profile = os.path.join(work, "profile")
    chromium_log = os.path.join(work, "chromium.log")
    home = os.path.join(work, "home")
    check = Checks()
    answers, failures = [], []

    def size(name):
        return os.path.getsize(os.path.join(www, name))

    # -- first visit, fresh profile --
    browser = Browser(profile, proxy_port, chromium_log, home)
    try:
        tab = Tab(browser)
        first_loaded = tab.navigate(web + "/index.html")
        first = tab.evaluate(PAGE_STATE) or {}
        head = tab.evaluate(HEAD_REQUEST) or {}
        tab.navigate(web + "/cookie.html")
        cookie_page = tab.evaluate(PAGE_STATE) or {}
        tab.navigate(web + "/gz/page.html")
        gz = tab.evaluate(PAGE_STATE) or {}
        gz_answer = tab.document_answer(web + "/gz/page.html")
        tab.navigate(origin + "/chunked.html")
        chunk = tab.evaluate(PAGE_STATE) or {}
        chunk_answer = tab.document_answer(origin + "/chunked.html")
        tab.navigate(web + "/form.html")
        tab.load(lambda: tab.evaluate("document.forms[0].submit()"))
        posted = tab.evaluate(PAGE_STATE) or {}
        long_url = origin + "/long?pad=" + "p" * LONG_TARGET
        tab.navigate(long_url)
        long_page = tab.evaluate(PAGE_STATE) or {}
        cookies_first = stored_cookies(browser)
        answers += tab.answers
        failures += tab.failures
    finally:
        browser.close()
    first_visit = nginx_log(access_log)

    # -- second visit, same profile: the cache revalidates --
    browser = Browser(profile, proxy_port, chromium_log, home)
    try:
        tab = Tab(browser)
        second_loaded = tab.navigate(web + "/index.html")
        second = tab.evaluate(PAGE_STATE) or {}
        cookies_second = stored_cookies(browser)
        answers += tab.answers
        failures += tab.failures
        tab.navigate(web + "/forms.html")
        forms = tab.evaluate(FORMS_STATE) or {}
    finally:
        browser.close()
    second_visit = nginx_log(access_log)[len(first_visit):]

    def statuses(log, path, method="GET"):
        line = "%s %s%s HTTP/1.1" % (method, web, path)
        return [status for request, status, _, _, _ in log if request == line]

    # -- what the browser saw --
    # The plain resources; those that only a mended relay can carry have checks of their own.
    revalidated = ["/index.html", "/style.css", "/one.png", "/moved.png"]
    got = {p: statuses(first_visit, p) for p in revalidated + ["/old.png", "/two.gif?x=Referer:y"]}
    check("first load: page, style sheet and image fetched through the proxy (nginx: 200, and 301 for the moved image)",
          first_loaded and all(got[p] == [200] for p in revalidated) and got["/old.png"] == [301],
          "nginx saw %s" % got)
    check("first load: images shown",
          all(first.get(k, -1) > 0 for k in ("png", "moved")),
          "naturalWidth png=%s moved=%s" % (first.get("png"), first.get("moved")))
    check("query holding a header name ('?x=Referer:y') reaches the server intact",
          first.get("gif", -1) > 0 and got["/two.gif?x=Referer:y"] == [200],
          "image width %s, nginx %s" % (first.get("gif"), got["/two.gif?x=Referer:y"]))
    check("307 redirect without Content-Type is followed",
          first.get("temp", -1) > 0, "image width %s" % first.get("temp"))
    check("style sheet applied", first.get("color") == "rgb(0, 128, 0)", "color %r" % first.get("color"))
    check("scripts blanked: renamed, empty, none ran, external script never fetched",
          first.get("zcount") == 2 and first.get("zblank") and first.get("scripts") == 0
          and first.get("title") == "site" and first.get("kept") == "kept text"
          and not statuses(first_visit, "/app.js"),
          "state %s, app.js requests %s" % (
              {k: first.get(k) for k in ("zcount", "zblank", "scripts", "title", "kept")},
              statuses(first_visit, "/app.js")))
    heads = statuses(first_visit, "/one.png", "HEAD")
    check("HEAD answer with Content-Length relayed once",
          head.get("status") == 200 and head.get("length") == str(size("one.png")) and heads == [200],
          "browser got %s, nginx saw %s" % (head, heads))
    check("Set-Cookie neutralised: no cookie stored, none visible to the page",
          statuses(first_visit, "/cookie.html") == [200] and cookie_page.get("cookie") == ""
          and not cookies_first and not cookies_second,
          "nginx %s, document.cookie %r, stored %s" % (
              statuses(first_visit, "/cookie.html"), cookie_page.get("cookie"),
              [c["name"] for c in cookies_first + cookies_second]))
    encoding = (gz_answer[1].get("content-encoding", "") if gz_answer else "no answer")
    gz_sent = [b for r, s, b, _, _ in first_visit if r == "GET %s/gz/page.html HTTP/1.1" % web]
    check("gzip-enabled page arrives uncompressed with its script blanked",
          gz_answer is not None and gz_answer[0] == 200 and encoding in ("", "identity")
          and gz_sent == [size("gz/page.html")]
          and gz.get("zcount") == 1 and gz.get("zblank") and gz.get("gzkept") == "kept text",
          "answer %s, Content-Encoding %r, nginx sent %s of %d bytes, state %s" % (
              gz_answer and gz_answer[0], encoding, gz_sent, size("gz/page.html"),
              {k: gz.get(k) for k in ("zcount", "zblank", "gzkept")}))
    check("chunked page rendered intact with its script blanked",
          chunk_answer is not None and chunk_answer[0] == 200
          and chunk.get("before") == "before the script" and chunk.get("after") == "after the script"
          and chunk.get("zcount") == 1 and chunk.get("zblank"),
          "answer %s, state %s" % (chunk_answer and chunk_answer[0],
                                   {k: chunk.get(k) for k in ("before", "after", "zcount", "zblank")}))

    # -- what the scripted origin saw --
    requests = origin_requests(record_dir)
    posts = [(h, b) for h, b in requests if h.startswith(b"POST ")]
    body_ok, detail = False, "the origin got %d POST requests" % len(posts)
    if len(posts) == 1:
        h, body = posts[0]
        boundary = body.split(b"\r\n", 1)[0][2:] if body.startswith(b"--") else b""
        expected = multipart_expected(boundary)
        declared = [line.split(b":", 1)[1].strip() for line in header_lines(h)
                    if line.lower().startswith(b"content-length:")]
        body_ok = boundary != b"" and body == expected and declared == [b"%d" % len(expected)]
        at = next((k for k in range(min(len(body), len(expected))) if body[k] != expected[k]),
                  min(len(body), len(expected)))
        detail = "got %d bytes, expected %d (Content-Length %s); from byte %d got '%s', expected '%s'" % (
            len(body), len(expected), [short(d) for d in declared], at,
            short(body[at:at + 40]), short(expected[at:at + 40]))
    check("multipart POST body with a blank line arrives byte for byte", body_ok, detail)
    check("the origin's answer to the form is shown", posted.get("got") == "form received",
          "page shows %r" % posted.get("got"))

    long_heads = [h for h, _ in requests if h.startswith(b"GET " + origin.encode() + b"/long?")]
    long_ok = (len(long_heads) == 1 and first_line(long_heads[0]) ==
               b"GET " + long_url.encode() + b" HTTP/1.1"
               and not any(line.lower().startswith(b"user-agent:") for line in header_lines(long_heads[0])))
    check("request head of %d KiB relayed whole and filtered" % (LONG_TARGET // 1024),
          long_ok and long_page.get("long") == "target %d" % len(long_url),
          "origin got %d such heads%s; page shows %r" % (
              len(long_heads),
              "" if not long_heads else ", first line %s, %d header lines" % (
                  short(first_line(long_heads[0])), len(header_lines(long_heads[0])) - 2),
              short(long_page.get("long"))))

    dropped = (b"referer:", b"user-agent:", b"cookie:", b"if-modified-since:")
    leaks = []
    for h, _ in requests:
        lines = header_lines(h)
        names = [line.lower() for line in lines]
        if any(n.startswith(dropped) for n in names) or b"connection: close" not in names:
            leaks.append(short(first_line(h)))
    leaks += ["nginx: " + short(r) for r, _, _, ref, ua in first_visit + second_visit
              if ref != "-" or ua != "-"]
    check("servers saw no Referer/User-Agent/Cookie/If-Modified-Since, and Connection: Close",
          not leaks and requests, "offending requests: %s" % leaks)

    # -- second visit --
    again = {p: statuses(second_visit, p) for p in revalidated}
    check("second load: cached resources revalidated (nginx: 304)",
          second_loaded and all(again[p] == [304] for p in revalidated), "nginx saw %s" % again)
    check("second load: page, style sheet and images shown from the revalidated cache",
          all(second.get(k, -1) > 0 for k in ("png", "moved"))
          and second.get("color") == "rgb(0, 128, 0)" and second.get("kept") == "kept text"
          and second.get("zcount") == 2,
          "state %s" % {k: second.get(k) for k in ("png", "moved", "color", "kept", "zcount")})

    forms_ran = ran(r.split(" ")[1] for r, _, _, _, _ in second_visit)
    check("a page of every script form: none ran, its text shown",
          statuses(second_visit, "/forms.html") == [200] and not forms_ran
          and forms.get("kept") == "kept text" and forms.get("title") == "forms",
          "nginx %s, ran %s, page %s" % (statuses(second_visit, "/forms.html"), forms_ran, forms))

    bad = ["%s -> %s" % (short(u), s) for u, s, _ in answers if s == 999]
    bad += ["%s -> %s" % (short(u), e) for u, e in failures]
    check("no refused (HTTP/1.0 999) or failed load in the browser", not bad, "; ".join(bad))

    print("%d check(s) failed" % check.failed if check.failed else "all checks passed")
    return 1 if check.failed else 0


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "site":
        make_site(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
        return 0
    if len(sys.argv) == 6 and sys.argv[1] == "run":
        try:
            return run(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]))
        except (BrowserGone, TimeoutError, RuntimeError) as e:
            print("FAIL: the browser could not be driven: %s" % e)
            return 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
