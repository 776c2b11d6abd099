#!/bin/sh
# Captures the program as a user sees it on a desktop with a tray, on a virtual X
# server: the tray menu, the monitor window with entries from real relays (curl
# through the proxy to a local nginx), the monitor scrolled to the end of a long
# entry, the header window, the options dialog and its save question.
#   scripts/screenshots-desktop.sh [OUTDIR] [BUILDDIR]
# OUTDIR defaults to ./screenshots, BUILDDIR to build/release (built by `make build`).
# Needs xvfb-run, trayer, xdotool, imagemagick, nginx and curl (Debian packages).
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-screenshots}" && cd "${1:-screenshots}" && pwd)
build=$(cd "${2:-$here/build/release}" && pwd)

if [ "${TARNWICK_IN_XVFB:-}" != 1 ]; then
    export TARNWICK_IN_XVFB=1
    exec xvfb-run -a -s "-screen 0 1280x900x24" sh "$0" "$out" "$build"
fi

. "$here/scripts/local-nginx.sh"
work=$(mktemp -d)
cleanup() {
    kill $(jobs -p) 2>/dev/null || true
    [ -n "${NGINX_PID:-}" ] && kill "$NGINX_PID" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Waits up to ten seconds for a window on screen whose title matches; prints its id
# (nothing when none came).
find_window() {
    timeout 10 xdotool search --sync --onlyvisible --name "$1" 2>/dev/null | head -1 || true
}

web_port=$(free_port)
proxy_port=$(free_port)

mkdir -p "$work/www" "$work/run" "$work/config" "$work/runtime"
chmod 700 "$work/runtime"
printf '<html><head><title>t</title><script>alert(1)</script></head><body>hello</body></html>\n' \
    > "$work/www/index.html"
head -c 20000 /dev/urandom > "$work/www/data.bin"
start_nginx "$work" "$web_port" 'add_header Set-Cookie "id=42";'

export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime"
"$build/app/tarnwick-settings" set AutoStart ○
"$build/app/tarnwick-settings" set Local_Port "$proxy_port"

trayer --edge bottom --align right --widthtype pixel --width 64 --height 32 \
    --transparent false --tint 0xcccccc &
sleep 1.5
(cd "$work/run" && exec "$build/app/tarnwick") &
# Started automatically; the icon follows at once on a desktop with a tray.
wait_listening "$proxy_port"
sleep 1

# The panel is trayer's window of the requested size; the icon sits at its right end.
for w in $(xdotool search --class trayer); do
    eval "$(xdotool getwindowgeometry --shell "$w")"
    [ "$WIDTH" -eq 64 ] && break
done
icon_x=$((X + WIDTH - 14))
icon_y=$((Y + 16))

# The tray menu.
xdotool mousemove "$icon_x" "$icon_y" click 3
sleep 1
import -window root "$out/tray-menu.png"
xdotool key Escape
sleep 0.5

# Left click shows the monitor; then a few relays fill it, one with a long address.
xdotool mousemove "$icon_x" "$icon_y" click 1
sleep 1.5
long_query=$(printf 'q=%0300d' 0 | tr 0 x)
for path in index.html data.bin "index.html?$long_query" index.html; do
    curl -sS -o /dev/null -x "http://127.0.0.1:$proxy_port" "http://127.0.0.1:$web_port/$path"
done
sleep 1
monitor=$(find_window '^Tarnwick\(Lite\)$')
import -window "$monitor" "$out/main-window.png"

# The LAN list scrolled sideways as far as it goes: the end of the long request.
eval "$(xdotool getwindowgeometry --shell "$monitor")"
xdotool mousemove $((X + 400)) $((Y + 100)) click --repeat 80 --delay 10 7
sleep 0.5
import -window "$monitor" "$out/main-window-scrolled.png"
xdotool click --repeat 80 --delay 10 6

# The header window: double-click the newest WAN entry.
eval "$(xdotool getwindowgeometry --shell "$monitor")"
xdotool mousemove $((X + 400)) $((Y + 300)) click --repeat 2 --delay 80 1
header=$(find_window 'HTTPﾍｯﾀﾞｰの表示')
if [ -n "$header" ]; then
    sleep 0.5
    import -window "$header" "$out/header-window.png"
    # Out of the way again (Escape closes it).
    xdotool windowfocus --sync "$header" key Escape
    sleep 0.5
fi

# The options dialog through the monitor's "設定" button.
eval "$(xdotool getwindowgeometry --shell "$monitor")"
xdotool mousemove $((X + 285)) $((Y + 17)) click 1
options=$(find_window '設定】')
if [ -n "$options" ]; then
    sleep 1
    import -window "$options" "$out/options-dialog.png"
    # Escape asks whether to save, as the close box does; Escape again answers No.
    xdotool windowfocus --sync "$options" key Escape
    question=$(find_window '^Tarnwick$')
    if [ -n "$question" ]; then
        sleep 0.5
        import -window "$question" "$out/save-question.png"
        xdotool windowfocus --sync "$question" key Escape
    else
        echo "the save question did not show" >&2
    fi
else
    echo "the options dialog did not open (has the 設定 button moved?)" >&2
fi
ls -l "$out"
