#!/usr/bin/env python3
"""The cases of desktop_setup.sh, in order, each on what the one before left.

  desktop_setup.py WORK TARNWICK-SETTINGS PROXY-PORT SITE-PORT PLAIN-PORT

Prints PASS/FAIL per row and exits 1 when any row fails. Standard library only.
CHROMIUM and FIREFOX name the browser commands (default: chromium, firefox-esr).
"""

import glob
import os
import string
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser_site  # noqa: E402

TITLE = "through the proxy"
REFUSED = "net::ERR_CERT_AUTHORITY_INVALID"
SCHEMA = "org.gnome.system.proxy"
FIREFOX = os.environ.get("FIREFOX", "firefox-esr")
# Set in every profile Firefox makes; its proxy setting stays Firefox's default (the
# system's), which follows GNOME's.
FIREFOX_PREFS = (
    # Firefox never sends a loopback address through a proxy unless told to, and the
    # test's site is on loopback.
    'user_pref("network.proxy.allow_hijacking_localhost", true);\n'
    # Every name Firefox looks up for its own services is loopback: nothing leaves the
    # machine.
    'user_pref("network.dns.forceResolve", "127.0.0.1");\n')


class Run:
    def __init__(self, work, settings, proxy_port, site_port, plain_port):
        self.work, self.tool = work, settings
        self.proxy_port = proxy_port
        self.url = "https://127.0.0.1:%d/page.html" % site_port
        self.loads = 0
        self.site_port = site_port
        self.origins = ("http://127.0.0.1:%d" % plain_port, "https://127.0.0.1:%d" % site_port)

    def settings(self, *args):
        r = subprocess.run([self.tool, *args], capture_output=True, text=True, timeout=60)
        return r.returncode, r.stdout + r.stderr

    def requests(self):
        """User-Agents of the page's requests nginx answered, in order."""
        try:
            with open(os.path.join(self.work, "site", "access.log")) as log:
                return [line.rsplit('"', 2)[-2] for line in log if "/page.html" in line]
        except FileNotFoundError:
            return []

    def load(self, proxy_port):
        """Loads the page in a new profile; (title, errors of the page, new requests)."""
        self.loads += 1
        seen = len(self.requests())
        b = browser_site.Browser(os.path.join(self.work, "profile%d" % self.loads), proxy_port,
                                 os.path.join(self.work, "chromium.log"), os.environ["HOME"])
        try:
            tab = browser_site.Tab(b)
            tab.navigate(self.url)
            failures = [e for u, e in tab.failures if u == self.url]
            title = None if failures else tab.evaluate("document.title")
        finally:
            b.close()
        return title, failures, self.requests()[seen:]


def firefox(run, url=None, refused=False):
    """Headless Firefox loads url (the page) with the profile it made itself, through
    whatever proxy the desktop names; (User-Agents of the page's requests nginx saw, the
    proxy's new monitor text). It shows a refused page without end: stopped once the
    monitor shows the refusal."""
    def monitor():
        with open(os.path.join(run.work, "proxy.log"), errors="replace") as log:
            return log.read()
    seen, start = len(run.requests()), len(monitor())
    with open(os.path.join(run.work, "firefox.log"), "a") as log:
        browser = subprocess.Popen([FIREFOX, "--headless", "--screenshot", run.work + "/firefox.png",
                                    url or run.url], stdout=log, stderr=subprocess.STDOUT,
                                   start_new_session=True)
    deadline = time.monotonic() + 60
    while browser.poll() is None and time.monotonic() < deadline:
        time.sleep(0.25)
        if refused and "unknown ca" in monitor()[start:]:
            os.killpg(browser.pid, 9)
    if browser.poll() is None:
        os.killpg(browser.pid, 9)
    browser.wait()
    time.sleep(0.5)  # the proxy prints its monitor a quarter of a second late
    return run.requests()[seen:], monitor()[start:]


def seen(ok, requests, monitor):
    return [] if ok else ["nginx saw User-Agents %s; the monitor ends %r" %
                          (requests, monitor[-300:])]


def firefox_first_start(run, _):
    """Firefox makes its profile where this version keeps it; `ca status` finds it."""
    firefox(run, "about:blank")
    places = (os.environ["HOME"] + "/.mozilla", os.environ["XDG_CONFIG_HOME"] + "/mozilla")
    profiles = [os.path.dirname(p) for d in places for p in glob.glob(d + "/firefox/*/prefs.js")]
    for profile in profiles:
        with open(os.path.join(profile, "user.js"), "w") as prefs:
            prefs.write(FIREFOX_PREFS)
    _, status = run.settings("ca", "status")
    if not profiles or any(p + "): " not in status for p in profiles):
        return ["Firefox's profiles %s, ca status:\n%s" % (profiles, status)]
    return []


def firefox_through(run, _):
    requests, monitor = firefox(run)
    # The proxy's header rules delete the User-Agent: nginx saw the proxy, not Firefox.
    return seen(requests == ["-"] and ":%d" % run.site_port in monitor, requests, monitor)


def firefox_script_forms(run, _):
    """The page of every script form over plain HTTP and inside interception: at Script ×
    nginx sends it and sees no form run; at ○ (over HTTP, Chromium's runs inside
    interception; a URL of its own, not the filtered copy in the cache) each runs."""
    site = os.path.join(run.work, "site")
    plain, tls = run.origins
    # Headless Firefox gives its page no focus: autofocus fires no onfocus, filtered or not.
    forms = [f for f in browser_site.FORMS if f != "input-onfocus"]
    problems = []
    try:
        for origin, query in ((plain, ""), (tls, ""), (plain, "?on")):
            if query:
                run.settings("set", "Script", "○")
            browser_site.make_forms(os.path.join(site, "www"), origin)
            seen = len(browser_site.nginx_log(os.path.join(site, "access.log")))
            firefox(run, origin + "/forms.html" + query)
            paths = [browser_site.path_of(e[0].split(" ")[1])
                     for e in browser_site.nginx_log(os.path.join(site, "access.log"))[seen:]]
            got = ("/forms.html" + query in paths, browser_site.ran(paths))
            if got != (True, forms if query else []):
                problems.append("%s: page sent %s, ran %s" % ((origin + query,) + got))
    finally:
        run.settings("remove", "Script")
    return problems


def firefox_refuses(run, _):
    problems = command(run, ["ca", "untrust"], "default-esr")
    requests, monitor = firefox(run, refused=True)
    # Refused inside the proxy's TLS: the page never reached nginx.
    return problems or seen(not requests and "unknown ca" in monitor, requests, monitor)


def firefox_direct(run, _):
    # Plain HTTP to the TLS port: nginx answers it with an error page and logs it with
    # the User-Agent of whoever sent it, Firefox itself when nothing came between.
    requests, monitor = firefox(run, run.url.replace("https:", "http:"))
    ok = len(requests) == 1 and "Firefox/" in requests[0] and ":%d" % run.site_port not in monitor
    return seen(ok, requests, monitor)


def through_proxy(run, proxy_port):
    title, failures, requests = run.load(proxy_port)
    # The proxy's header rules delete the User-Agent: nginx saw the proxy, not Chromium.
    if title == TITLE and not failures and requests == ["-"]:
        return []
    return ["title %r, failures %s, nginx saw User-Agents %s" % (title, failures, requests)]


def refused(run, proxy_port):
    title, failures, requests = run.load(proxy_port)
    if failures == [REFUSED] and not requests:
        return []
    return ["title %r, failures %s, nginx saw User-Agents %s" % (title, failures, requests)]


def command(run, args, expect_in):
    rc, out = run.settings(*args)
    if rc != 0 or expect_in not in out:
        return ["tarnwick-settings %s: exit %d\n%s" % (" ".join(args), rc, out)]
    return []


def trusted(run, _):
    return (command(run, ["ca", "trust"], "nssdb): trusted") or
            command(run, ["ca", "status"], "default-esr): in it, trust C,,") or
            through_proxy(run, run.proxy_port))


def untrusted(run, _):
    return command(run, ["ca", "untrust"], "nssdb): removed") or refused(run, run.proxy_port)


def gsettings(*args):
    return subprocess.run(["gsettings", *args], capture_output=True, text=True, timeout=30).stdout


def desktop_on(run, _):
    problems = command(run, ["ca", "trust"], "trusted")
    # The user's own exceptions: loopback goes through the proxy, names ending in a
    # letter go past it to Chromium's resolver, which finds none (nothing leaves the
    # machine), as the flags do in browser_site.
    bypass = "['<-loopback>', %s]" % ", ".join("'*%s'" % c for c in string.ascii_lowercase)
    subprocess.run(["gsettings", "set", SCHEMA, "ignore-hosts", bypass], check=True, timeout=30)
    problems += command(run, ["desktop-proxy", "on"], "GNOME")
    port = str(run.proxy_port)
    values = [gsettings("get", SCHEMA, "mode").strip()] + \
        [gsettings("get", SCHEMA + "." + s, k).strip() for s in ("http", "https") for k in ("host", "port")]
    if values != ["'manual'", "'127.0.0.1'", port, "'127.0.0.1'", port]:
        problems.append("GSettings holds %s" % values)
    return problems or through_proxy(run, None)


def desktop_off(run, _):
    problems = command(run, ["ca", "trust"], "trusted")
    problems += command(run, ["desktop-proxy", "off"], "back to no proxy")
    mode = gsettings("get", SCHEMA, "mode").strip()
    if mode != "'none'":
        problems.append("mode %s after off" % mode)
    # Straight to the origin, whose CA Chromium does not know.
    return problems or refused(run, None)


def removed(run, _):
    problems = command(run, ["ca", "remove"], "removed")
    _, status = run.settings("ca", "status")
    if "nssdb): not in it" not in status:
        problems.append("after ca remove:\n" + status)
    return problems


ROWS = [
    ("Firefox makes its profile on first start; ca status lists it", firefox_first_start),
    ("ca trust: Chromium (proxy by flag) loads the intercepted page", trusted),
    ("ca untrust: the same load fails on the certificate", untrusted),
    ("desktop-proxy on: Chromium without a proxy flag follows GNOME's setting", desktop_on),
    ("Firefox at its default proxy setting loads the page, its headers filtered", firefox_through),
    ("Firefox, a page of every script form over HTTP and inside interception: none ran; at Script ○ all ran",
     firefox_script_forms),
    ("ca untrust: Firefox refuses the proxy's certificate", firefox_refuses),
    ("desktop-proxy off: Chromium goes straight to the origin again", desktop_off),
    ("desktop-proxy off: Firefox goes straight to the origin again", firefox_direct),
    ("ca remove: nothing left trusted", removed),
]


def main():
    if len(sys.argv) != 6:
        print(__doc__, file=sys.stderr)
        return 2
    run = Run(sys.argv[1], sys.argv[2], *map(int, sys.argv[3:]))
    return browser_site.run_rows((name, lambda check=check: check(run, None)) for name, check in ROWS)


if __name__ == "__main__":
    sys.exit(main())
