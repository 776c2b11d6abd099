#!/usr/bin/env python3
"""The cases of desktop_setup.sh, in order, each on what the one before left.

  desktop_setup.py WORK TARNWICK-SETTINGS PROXY-PORT SITE-PORT

Prints PASS/FAIL per row and exits 1 when any row fails. Standard library only.
CHROMIUM names the browser command (default: chromium).
"""

import os
import string
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser_site  # noqa: E402

TITLE = "through the proxy"
REFUSED = "net::ERR_CERT_AUTHORITY_INVALID"
SCHEMA = "org.gnome.system.proxy"


class Run:
    def __init__(self, work, settings, proxy_port, site_port):
        self.work, self.tool = work, settings
        self.proxy_port = proxy_port
        self.url = "https://127.0.0.1:%d/page.html" % site_port
        self.loads = 0

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
    return command(run, ["ca", "trust"], "nssdb): trusted") or through_proxy(run, run.proxy_port)


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
    problems = command(run, ["desktop-proxy", "off"], "back to no proxy")
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
    ("ca trust: Chromium (proxy by flag) loads the intercepted page", trusted),
    ("ca untrust: the same load fails on the certificate", untrusted),
    ("desktop-proxy on: Chromium without a proxy flag follows GNOME's setting", desktop_on),
    ("desktop-proxy off: Chromium goes straight to the origin again", desktop_off),
    ("ca remove: nothing left trusted", removed),
]


def main():
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    run = Run(sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    return browser_site.run_rows((name, lambda check=check: check(run, None)) for name, check in ROWS)


if __name__ == "__main__":
    sys.exit(main())
