"""The Chromium cases of https_interception.py: a headless Chromium through the
proxy, trusting its CA or not. Each check returns what went wrong."""

import os
import re

import browser_site

# What Chromium shows of the intercepted page: title, scripts left, cookies, the image.
PAGE_STATE = """(() => {
  const png = document.getElementById('png');
  return {title: document.title, kept: document.getElementById('kept').textContent,
          scripts: document.getElementsByTagName('script').length,
          z: document.getElementsByTagName('zzzzzz').length, cookie: document.cookie,
          png: png && png.complete ? png.naturalWidth : -1};
})()"""


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


def script_forms(run, _):
    """The page of every script form, over HTTP/2: at Script × (the row's) none runs and
    its text shows; the same browser at ○ runs each (at a URL of its own, so not the
    filtered copy in its cache)."""
    url = run.https("good", "/forms.html")
    browser_site.make_forms(os.path.join(run.work, "www"), run.https("good", ""))
    home = browser_home(run, "forms", True)
    b = browser_site.Browser(home + "/profile", run.proxy, os.path.join(run.work, "chromium.log"), home)
    got = []
    try:
        tab = browser_site.Tab(b)
        # A headless page has no focus of its own; autofocus needs it.
        tab.call("Emulation.setFocusEmulationEnabled", {"enabled": True})
        for query in ("", "?on"):
            if query:
                run.settings("set", "Script", "○")
            seen = len(run.log("good"))
            tab.navigate(url + query)
            state = tab.evaluate(browser_site.FORMS_STATE) or {}
            # The page and the two x, then forms.js and every form's request.
            lines = run.log_after("good", seen, 3, len(browser_site.FORMS) + 4 if query else 3)
            got.append((state, browser_site.ran(e["request"].split(" ")[1] for e in lines)))
    finally:
        run.settings("remove", "Script")
        b.close()
    problems = []
    if got[0] != ({"title": "forms", "kept": "kept text", "protocol": "h2"}, []):
        problems.append("at ×: page %s, ran %s" % got[0])
    if got[1][1] != browser_site.FORMS:
        problems.append("at ○ these did not run: %s" % sorted(set(browser_site.FORMS) - set(got[1][1])))
    return problems


def client_hints(run, expected):
    """Chromium loads the page of an origin asking for the full version list twice at
    UserAgent ○: it sends its hints, the second time the list too. Then twice at △ (the
    row's), at a URL of its own: the origin sees no hint and the fake User-Agent, the
    browser no Accept-CH."""
    url = run.https("hints")
    home = browser_home(run, "hints", True)
    b = browser_site.Browser(home + "/profile", run.proxy, os.path.join(run.work, "chromium.log"), home)
    got = []
    try:
        tab = browser_site.Tab(b)
        for query in ("?control", ""):
            run.settings("set", "UserAgent", "○" if query else "△")
            seen = len(run.log("hints"))
            tab.navigate(url + query)
            tab.load(lambda: tab.call("Page.reload"))
            answer = tab.document_answer(url + query)
            got.append(([{k: e[k] for k in expected} for e in run.log_after("hints", seen, count=3)
                         if e["request"].startswith("GET /page.html")],
                        answer and answer[1].get("accept-ch")))
    finally:
        run.settings("set", "UserAgent", "△")
        b.close()
    (control, asked), (lines, accept_ch) = got
    problems = []
    if len(control) != 2 or "-" in (control[0]["sec_ch_ua"], control[1]["sec_ch_ua_full_version_list"]) \
            or control[1]["user_agent"] in ("-", expected["user_agent"]) or asked != "Sec-CH-UA-Full-Version-List":
        problems.append("at ○ the origin saw %s, the browser Accept-CH %r" % (control, asked))
    if lines != [expected] * 2 or accept_ch is not None:
        problems.append("at △ the origin saw %s, the browser Accept-CH %r" % (lines, accept_ch))
    return problems
