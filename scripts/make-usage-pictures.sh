#!/bin/sh
# Makes the three usage pictures of the usage viewer (src/resources/usage1.jpg,
# usage2.jpg, usage3.jpg) from real screenshots of Firefox's proxy settings,
# with the proxy preset to this machine's host name and port 8080:
#   page 1  the settings page's proxy entry, the button that opens the
#           connection settings marked                          471 x 419
#   page 2  the connection settings, the manual proxy marked      447 x 308
#   page 3  the HTTP proxy host and port and "use this proxy for HTTPS"
#           marked                                               437 x 360
#
#   scripts/make-usage-pictures.sh [OUTDIR]    (default: src/resources)
#
# Needs firefox-esr (firefox-esr-l10n-ja for the Japanese screens), xvfb,
# xauth, xdotool and imagemagick. None of them is needed to build or run the
# program. Set KEEP_RAW=1 to keep the full screenshots in OUTDIR/raw for
# measuring.
#
# The crop and mark rectangles below were measured on Firefox ESR 153 in
# Japanese with the IPA fonts; another version or font may move things, so
# look at the pictures (and the raw screenshots) after a run.
set -eu

if [ "${TARNWICK_IN_XVFB:-}" != 1 ]; then
    TARNWICK_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1280x1024x24" sh "$0" "$@"
fi

here=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$here/src/resources}" && cd "${1:-$here/src/resources}" && pwd)
host=$(hostname)
port=8080
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

profile="$work/profile"
mkdir -p "$profile/chrome"
cat > "$profile/user.js" <<PREFS
user_pref("network.proxy.type", 1);
user_pref("network.proxy.http", "$host");
user_pref("network.proxy.http_port", $port);
user_pref("network.proxy.share_proxy_settings", true);
user_pref("network.proxy.ssl", "$host");
user_pref("network.proxy.ssl_port", $port);
user_pref("intl.locale.requested", "ja");
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("startup.homepage_welcome_url", "");
user_pref("browser.aboutwelcome.enabled", false);
user_pref("browser.settings-redesign.promo.dismissed", true);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("app.update.enabled", false);
user_pref("browser.sessionstore.resume_from_crash", false);
user_pref("toolkit.legacyUserProfileCustomizations.stylesheets", true);
user_pref("layout.css.devPixelsPerPx", "0.89");
PREFS
# The connection settings dialog insists on a width far beyond the pictures';
# opened as a page it follows this narrower width instead (490 CSS pixels, 436
# screen pixels at the slightly reduced scale above, which keeps the labels on
# one line).
cat > "$profile/chrome/userContent.css" <<'CSS'
@namespace xul url("http://www.mozilla.org/keymaster/gatekeeper/there.is.only.xul");
xul|window[data-l10n-id="connection-window2"] {
    min-width: 0 !important;
    width: 490px !important;
    max-width: 490px !important;
}
CSS

# Starts Firefox on URL in a window of the given size, waits until it has drawn
# and captures the screen into FILE. Firefox does not take chrome: addresses on
# its command line, so those are typed into the address bar.
capture() {
    url=$1 width=$2 height=$3 file=$4
    case "$url" in
    chrome:*) start=about:blank ;;
    *) start=$url ;;
    esac
    firefox-esr --no-remote --new-instance -profile "$profile" \
        --width "$width" --height "$height" "$start" >"$work/firefox.log" 2>&1 &
    pid=$!
    tries=0
    until window=$(xdotool search --onlyvisible --class firefox 2>/dev/null | tail -1) \
        && [ -n "$window" ]; do
        tries=$((tries + 1))
        if [ $tries -gt 60 ] || ! kill -0 "$pid" 2>/dev/null; then
            echo "make-usage-pictures: Firefox did not open a window" >&2
            cat "$work/firefox.log" >&2
            exit 1
        fi
        sleep 1
    done
    sleep 8
    window=$(xdotool search --onlyvisible --class firefox | tail -1)
    xdotool windowsize "$window" "$width" "$height"
    xdotool windowfocus "$window"
    if [ "$start" != "$url" ]; then
        xdotool key ctrl+l
        sleep 1
        xdotool type --delay 20 "$url"
        xdotool key Return
        sleep 3
    fi
    xdotool mousemove 1270 1010
    sleep 3
    import -window root "$file"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    sleep 2
}

# picture RAW CROP SIZE OUT MARK...: crops RAW (WxH+X+Y), scales the crop to
# SIZE (WxH) and marks each rectangle (x0,y0,x1,y1 in the finished picture) in red.
picture() {
    raw=$1 crop=$2 size=$3 target=$4
    shift 4
    convert "$raw" -crop "$crop" +repage -filter Lanczos -resize "$size!" "$work/picture.png"
    for mark in "$@"; do
        convert "$work/picture.png" -fill none -stroke '#e00000' -strokewidth 3 \
            -draw "rectangle $mark" "$work/picture.png"
    done
    convert "$work/picture.png" -strip -quality 92 -sampling-factor 1x1 "$target"
    identify "$target"
}

capture 'about:preferences#connectionSecurity' 580 1000 "$work/preferences.png"
capture 'chrome://browser/content/preferences/dialogs/connection.xhtml' 500 800 "$work/connection.png"

if [ "${KEEP_RAW:-}" = 1 ]; then
    mkdir -p "$out/raw"
    cp "$work/preferences.png" "$work/connection.png" "$out/raw/"
fi

# Page 1: the page title, the proxy card and its button, slightly reduced.
picture "$work/preferences.png" 556x495+22+162 471x419 "$out/usage1.jpg" 66,356,450,412
# Page 2: the dialog's upper half; the manual proxy choice marked.
picture "$work/connection.png" 447x308+0+82 447x308 "$out/usage2.jpg" 3,124,207,150
# Page 3: the proxy fields; the HTTP proxy with its port and the choice to use it
# for HTTPS as well marked.
picture "$work/connection.png" 437x360+0+198 437x360 "$out/usage3.jpg" \
    28,33,434,66 141,69,403,92
