#!/bin/sh
# SPDX-License-Identifier: MIT
# CPack makes one Debian package with computed dependencies and the files of
# the application; unpacked into a scratch root, its program starts under a
# virtual X server and shows its window.
# Usage: check_debian_package.sh <build dir> <application id> <version> <show_window.sh>
set -eu
build=$1
id=$2
version=$3
show_window=$4

fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in cpack dpkg-deb dpkg-shlibdeps lintian xvfb-run xdotool xprop readelf; do
    command -v $tool >/dev/null || fail "$tool not found (scripts/install-deps)"
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log" >&2; fail "cpack failed"; }
arch=$(dpkg --print-architecture)
deb=$tmp/out/varnolink-setup_${version}_$arch.deb
[ -f "$deb" ] || { ls "$tmp/out" >&2; fail "no varnolink-setup_${version}_$arch.deb"; }
[ "$(find "$tmp/out" -maxdepth 1 -name '*.deb' | wc -l)" -eq 1 ] || fail "cpack made more than one package"

# Control fields. Depends must come from dpkg-shlibdeps (the C and C++
# runtimes and the Qt libraries the programs link) plus the Qt platform
# plugins, which are loaded at run time.
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = varnolink-setup ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
field Maintainer | grep -q '^[^<]\+ <[^@>]\+@[^>]\+>$' || fail "Maintainer: $(field Maintainer)"
[ "$(field Description | wc -l)" -ge 3 ] || fail "Description has no long description"
depends=$(field Depends)
for package in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 qt6-qpa-plugins; do
    echo "$depends" | tr ',' '\n' | grep -q "^ *$package\( \|$\)" ||
        fail "Depends lacks $package: $depends"
done

# Debian's own checks: an error (no copyright file, a broken changelog,
# files in the wrong place) fails the package; warnings are shown.
lintian --fail-on error "$deb" >"$tmp/lintian.log" 2>&1 ||
    { cat "$tmp/lintian.log" >&2; fail "lintian reports errors"; }
grep -q '^W: ' "$tmp/lintian.log" && cat "$tmp/lintian.log" >&2

# Contents: the application's files, and nothing outside /usr.
dpkg-deb --fsys-tarfile "$deb" | tar -t >"$tmp/contents"
grep -v '^\./usr/' "$tmp/contents" | grep -v '^\./$' >"$tmp/outside" || true
[ ! -s "$tmp/outside" ] || { cat "$tmp/outside" >&2; fail "the package installs outside /usr"; }
for f in bin/varnolink-setup bin/varnolink-sim bin/varnolink \
         share/man/man1/varnolink.1.gz share/bash-completion/completions/varnolink \
         share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
         share/icons/hicolor/scalable/apps/$id.svg \
         share/icons/hicolor/16x16/apps/$id.png share/icons/hicolor/32x32/apps/$id.png \
         share/icons/hicolor/48x48/apps/$id.png share/icons/hicolor/64x64/apps/$id.png \
         share/icons/hicolor/128x128/apps/$id.png share/icons/hicolor/256x256/apps/$id.png \
         share/man/man1/varnolink-sim.1.gz share/man/man1/varnolink-setup.1.gz \
         share/doc/varnolink-setup/copyright share/doc/varnolink-setup/changelog.gz; do
    grep -qx "\./usr/$f" "$tmp/contents" || fail "the package lacks /usr/$f"
done

# Unpack into a scratch root and run the programs from there. They must
# not reach back into the build tree for libraries.
root=$tmp/root
dpkg-deb --extract "$deb" "$root"
for program in varnolink-setup varnolink-sim varnolink; do
    if readelf -d "$root/usr/bin/$program" | grep -q 'R\(UN\)\?PATH'; then
        fail "$program carries a library search path: $(readelf -d "$root/usr/bin/$program" | grep PATH)"
    fi
done
"$root/usr/bin/varnolink-sim" --help | grep -q "^Usage: varnolink-sim" || fail "the packaged varnolink-sim does not run"

wm_class=$(sed -n 's/^StartupWMClass=//p' "$root/usr/share/applications/$id.desktop")
[ -n "$wm_class" ] || fail "the desktop entry has no StartupWMClass"

# A display number of our own, away from other tests' xvfb-run; -a moves on
# if it is taken. -noreset: by default the server resets when its last client
# leaves and refuses connections meanwhile, so the program could meet a
# resetting server right after the readiness probe disconnects.
xvfb-run -a -n $((100 + $$ % 400)) -e "$tmp/xvfb.log" -s "-screen 0 1024x768x24 -noreset" \
    sh "$show_window" "$root/usr/bin/varnolink-setup" "$wm_class" ||
    { cat "$tmp/xvfb.log" >&2; fail "the packaged program showed no window"; }
echo "debian package: $(basename "$deb"), $(wc -l <"$tmp/contents") entries, starts and shows its window"
