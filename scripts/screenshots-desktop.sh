#!/bin/sh
# Captures the program as a user sees it on a desktop with a tray, on a virtual X
# server: the tray menu, the monitor window with entries from real relays (curl
# through the proxy to a local nginx), the options dialog and the header window.
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

. "$here/tests/support/local-nginx.sh"
work=$(mktemp -d)
cleanup() {
    kill $(jobs -p) 2>/dev/null || true
    [ -n "${NGINX_PID:-}" ] && kill "$NGINX_PID" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

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
sleep 3

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

# Left click shows the monitor; then a few relays fill it.
xdotool mousemove "$icon_x" "$icon_y" click 1
sleep 1.5
for path in index.html data.bin index.html; do
    curl -sS -o /dev/null -x "http://127.0.0.1:$proxy_port" "http://127.0.0.1:$web_port/$path"
done
sleep 1
monitor=$(xdotool search --name '^Tarnwick\(Lite\)$' | head -1)
import -window "$monitor" "$out/main-window.png"

# The header window: double-click the newest WAN entry.
eval "$(xdotool getwindowgeometry --shell "$monitor")"
xdotool mousemove $((X + 400)) $((Y + 300)) click --repeat 2 --delay 80 1
sleep 1
header=$(xdotool search --name 'HTTPﾍｯﾀﾞｰの表示' | head -1 || true)
if [ -n "$header" ]; then
    import -window "$header" "$out/header-window.png"
    # It is modal: close it with Escape before touching the monitor again.
    xdotool windowfocus --sync "$header" key Escape
    sleep 0.5
fi

# The options dialog through the monitor's "設定" button.
eval "$(xdotool getwindowgeometry --shell "$monitor")"
xdotool mousemove $((X + 285)) $((Y + 17)) click 1
sleep 1.5
options=$(xdotool search --name '設定】' | head -1 || true)
if [ -n "$options" ]; then
    import -window "$options" "$out/options-dialog.png"
else
    echo "the options dialog did not open (has the 設定 button moved?)" >&2
fi
ls -l "$out"
