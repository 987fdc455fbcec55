#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds the .deb, then checks
# what a distribution checks: desktop entry, AppStream metainfo, icons,
# manual pages, versions, the package's files and dependencies, lintian.
set -euo pipefail
build=$1 version=$2
scratch=$(mktemp -d -t zarno-install.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

prefix="$scratch/usr"
cmake --install "$build" --prefix "$prefix" >/dev/null
app=app.zarno.Zarno
for file in bin/zarno bin/zarno-server \
    share/applications/$app.desktop share/metainfo/$app.metainfo.xml \
    share/icons/hicolor/scalable/apps/$app.svg \
    share/man/man1/zarno.1.gz share/man/man1/zarno-server.1.gz \
    lib/systemd/user/zarno-server.service share/doc/zarno/copyright share/doc/zarno/changelog.gz; do
    [ -e "$prefix/$file" ] || fail "not installed: $file"
done
for size in 16 22 24 32 48 64 128 256; do
    png="$prefix/share/icons/hicolor/${size}x${size}/apps/$app.png"
    [ -s "$png" ] || fail "no ${size}px icon"
done
desktop-file-validate "$prefix/share/applications/$app.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$prefix/share/metainfo/$app.metainfo.xml" >"$scratch/appstream.log" 2>&1 \
    || { cat "$scratch/appstream.log"; fail "appstreamcli validate"; }
grep -q "version=\"$version\"" "$prefix/share/metainfo/$app.metainfo.xml" || fail "metainfo names another release"
grep -qx "ExecStart=$prefix/bin/zarno-server" "$prefix/lib/systemd/user/zarno-server.service" \
    || grep -q '^ExecStart=/.*/zarno-server$' "$prefix/lib/systemd/user/zarno-server.service" \
    || fail "unit starts no zarno-server"
[ "$(env -u DISPLAY -u WAYLAND_DISPLAY "$prefix/bin/zarno" --version)" = "zarno $version" ] || fail "zarno --version"
[ "$("$prefix/bin/zarno-server" --version)" = "zarno-server $version" ] || fail "zarno-server --version"
zgrep -q 'zarno is not running' "$prefix/share/man/man1/zarno.1.gz" || fail "zarno.1 lacks the commands"

(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/deb" >"$scratch/cpack.log" 2>&1) \
    || { cat "$scratch/cpack.log"; fail "cpack -G DEB"; }
deb=$(ls "$scratch"/deb/*.deb 2>/dev/null | head -n1)
if [ -n "$deb" ]; then
    dpkg-deb -c "$deb" | awk '{print $6}' >"$scratch/files"
    for file in ./usr/bin/zarno ./usr/bin/zarno-server ./usr/share/applications/$app.desktop \
        ./usr/share/metainfo/$app.metainfo.xml ./usr/share/icons/hicolor/256x256/apps/$app.png \
        ./usr/share/man/man1/zarno.1.gz ./usr/share/doc/zarno/changelog.gz ./usr/lib/systemd/user/zarno-server.service; do
        grep -qx -- "$file" "$scratch/files" || fail "not in the .deb: $file"
    done
    if grep -Eq 'tst_|bench_|iconrender' "$scratch/files"; then fail "the .deb carries tests or build tools"; fi
    [ "$(dpkg-deb -f "$deb" Package)" = zarno ] || fail "package name"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
    depends=$(dpkg-deb -f "$deb" Depends)
    for needed in libqt6webenginewidgets6 libqt6httpserver6 libpulse0 pocketsphinx-en-us apertium-eng-spa \
        libqt6sql6-sqlite qt6-qpa-plugins; do
        grep -q "$needed" <<<"$depends" || fail "Depends lacks $needed: $depends"
    done
    dpkg-deb -x "$deb" "$scratch/unpacked"
    if file "$scratch/unpacked/usr/bin/zarno" | grep -q 'not stripped'; then fail "zarno in the .deb is not stripped"; fi
    # What a distribution's archive would reject or complain of.
    lintian --no-cfg --fail-on error,warning "$deb" >"$scratch/lintian.log" 2>&1 \
        || { cat "$scratch/lintian.log"; fail "lintian"; }
else
    fail "cpack made no .deb"
fi

if [ "$failures" -eq 0 ]; then echo "packaging: all checks passed"; fi
exit $((failures > 0))
