#!/bin/sh
# The Debian package: builds BUILD_DIR (Release, no tests; what make deb builds; an
# existing build is reused), makes the package with cpack, and checks it:
#   lintian reports no error;
#   it holds the three programs, the launcher, an icon, the AppStream metainfo, a
#   manual page for each program, the copyright file and the changelog;
#   its Depends carry the shared libraries dpkg-shlibdeps found and the Japanese font;
#   the packaged programs run after stripping.
# Usage: check_deb.sh BUILD_DIR
# PACKAGE_JOBS sets the build's parallel jobs (default 2).
# Exits 77 (skipped) when dpkg-deb, dpkg-shlibdeps, file, lintian or cpack is missing.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
BUILD=$1

for tool in dpkg-deb dpkg-shlibdeps file lintian cpack; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool not installed (Debian: dpkg-dev, file, lintian, cmake)"
        exit 77
    fi
done

fail() {
    echo "FAIL: $*"
    exit 1
}

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
trap 'exit 1' INT TERM

if ! { cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_TESTS=OFF &&
       cmake --build "$BUILD" -j"${PACKAGE_JOBS:-2}"; } >"$WORK/build.log" 2>&1; then
    tail -n 40 "$WORK/build.log"
    fail "the Release build in $BUILD failed"
fi
rm -f "$BUILD"/tarnwick_*.deb
(cd "$BUILD" && cpack -G DEB) || fail "cpack failed"
set -- "$BUILD"/tarnwick_*_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "cpack made no tarnwick_VERSION_ARCH.deb in $BUILD"
DEB=$1
echo "package: $DEB"

# Errors fail; warnings and the rest are shown for whoever reads the log.
echo "--- lintian"
lintian --fail-on error --display-info "$DEB" || fail "lintian reports errors"

echo "--- contents"
dpkg-deb --contents "$DEB" | tee "$WORK/contents"
awk '{ print $NF }' "$WORK/contents" >"$WORK/paths"
for path in \
    ./usr/bin/tarnwick ./usr/bin/tarnwick-headless ./usr/bin/tarnwick-settings \
    ./usr/share/applications/tarnwick.desktop \
    ./usr/share/man/man1/tarnwick.1.gz ./usr/share/man/man1/tarnwick-headless.1.gz \
    ./usr/share/man/man1/tarnwick-settings.1.gz \
    ./usr/share/doc/tarnwick/copyright ./usr/share/doc/tarnwick/changelog.gz; do
    grep -qxF "$path" "$WORK/paths" || fail "$path is not in the package"
done
grep -qE '^\./usr/share/metainfo/[^/]+\.metainfo\.xml$' "$WORK/paths" ||
    fail "no AppStream metainfo in the package"
grep -qE '^\./usr/share/icons/hicolor/[^/]+/apps/tarnwick\.(png|svg)$' "$WORK/paths" ||
    fail "no tarnwick icon in the package"

echo "--- control"
dpkg-deb --field "$DEB" Package Version Section Depends | tee "$WORK/control"
grep -qx 'Section: net' "$WORK/control" || fail "section is not net"
grep -q '^Depends:.*fonts-ipafont-gothic' "$WORK/control" || fail "Depends lacks fonts-ipafont-gothic"
grep -q '^Depends:.*libqt6core6' "$WORK/control" || fail "Depends lacks the Qt libraries (dpkg-shlibdeps)"
# The compression libraries the decoder uses, and HTTP/2's.
for lib in zlib1g libbrotli1 libzstd1 libnghttp2-14; do
    grep -q "^Depends:.*$lib" "$WORK/control" || fail "Depends lacks $lib (dpkg-shlibdeps)"
done

dpkg-deb --extract "$DEB" "$WORK/root"
if command -v appstreamcli >/dev/null 2>&1; then
    appstreamcli validate --no-net "$WORK"/root/usr/share/metainfo/*.metainfo.xml ||
        fail "the AppStream metainfo does not validate"
fi
"$WORK/root/usr/bin/tarnwick-settings" --version >/dev/null || fail "packaged tarnwick-settings --version fails"
"$WORK/root/usr/bin/tarnwick-headless" --help >/dev/null || fail "packaged tarnwick-headless --help fails"
echo "PASS: $DEB"
