#!/usr/bin/env python3
"""The browser half of https_tunnel.sh: a small site, and a headless Chromium that
loads it over TLS through the proxy's tunnel (browser_site.py's DevTools driver),
with the checks on what the browser and nginx saw.

  https_tunnel.py site WWW
      writes the site nginx serves into WWW
  https_tunnel.py run WORK WEB-PORT PROXY-PORT
      loads https://127.0.0.1:WEB-PORT/index.html with a fresh profile, prints
      PASS/FAIL per check, exits 1 when any check fails

CHROMIUM names the browser command (default: chromium).
"""

import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser_site  # noqa: E402

# The proxy cannot see into a tunnel, so the script runs and shows it arrived.
FILES = {
    "index.html": """<!DOCTYPE html>
<html><head><title>tunnel</title>
<link rel="stylesheet" href="/style.css">
<script src="/app.js"></script>
</head><body>
<p id="kept">kept text</p>
<img id="png" src="/one.png">
</body></html>
""",
    "style.css": "#kept { color: rgb(0, 128, 0); }\n",
    "app.js": "addEventListener('DOMContentLoaded', () => {\n"
              "  document.getElementById('kept').textContent = 'app.js ran';\n});\n",
}

PAGE_STATE = """(() => {
  const kept = document.getElementById('kept'), png = document.getElementById('png');
  return {title: document.title, kept: kept ? kept.textContent : null,
          color: kept ? getComputedStyle(kept).color : '',
          png: png && png.complete ? png.naturalWidth : -1};
})()"""


def make_site(www):
    for name, text in FILES.items():
        with open(os.path.join(www, name), "w") as f:
            f.write(text)
    with open(os.path.join(www, "one.png"), "wb") as f:
        f.write(browser_site.png(3, 2))
    for name in list(FILES) + ["one.png"]:
        os.chmod(os.path.join(www, name), 0o644)


def run(work, web_port, proxy_port):
    url = "https://127.0.0.1:%d/index.html" % web_port
    check = browser_site.Checks()
    browser = browser_site.Browser(os.path.join(work, "profile"), proxy_port,
                                   os.path.join(work, "chromium.log"), os.path.join(work, "home"))
    try:
        tab = browser_site.Tab(browser)
        loaded = tab.navigate(url)
        state = tab.evaluate(PAGE_STATE) or {}
        failures = list(tab.failures)
    finally:
        browser.close()

    # Only requests that came over TLS are in this log (nginx's $https).
    tls = browser_site.nginx_log(os.path.join(work, "tls.log"))
    paths = ["/index.html", "/style.css", "/one.png", "/app.js"]
    got = {p: [s for r, s, _, _, _ in tls if r == "GET %s HTTP/1.1" % p] for p in paths}
    check("page, style sheet, image and script fetched over TLS through the tunnel (nginx: 200)",
          loaded and all(got[p] == [200] for p in paths), "nginx saw %s" % got)
    check("page rendered: style sheet applied, image shown, script ran",
          state.get("title") == "tunnel" and state.get("color") == "rgb(0, 128, 0)"
          and state.get("png") == 3 and state.get("kept") == "app.js ran",
          "state %s" % state)
    check("no failed load in the browser", not failures,
          "; ".join("%s -> %s" % (browser_site.short(u), e) for u, e in failures))
    print("%d check(s) failed" % check.failed if check.failed else "all checks passed")
    return 1 if check.failed else 0


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "site":
        make_site(sys.argv[2])
        return 0
    if len(sys.argv) == 5 and sys.argv[1] == "run":
        try:
            return run(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
        except (browser_site.BrowserGone, TimeoutError, RuntimeError) as e:
            print("FAIL: the browser could not be driven: %s" % e)
            return 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
