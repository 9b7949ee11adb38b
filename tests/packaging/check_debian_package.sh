#!/bin/sh
# SPDX-License-Identifier: MIT
# CPack makes two Debian packages with computed dependencies: varnolink (the
# command line, the simulator, the plant audit's units; no Qt) and
# varnolink-setup (the window, on top of varnolink). Both pass lintian; the
# command line runs from its package alone, and with both unpacked the
# window starts under a virtual X server and shows itself.
# Usage: check_debian_package.sh <build dir> <application id> <version> <show_window.sh> <systemd unit dir>
set -eu
build=$1
id=$2
version=$3
show_window=$4
unit_dir=$5

. "$(dirname "$0")/check_common.sh"
need_tools cpack dpkg-deb dpkg-shlibdeps lintian xvfb-run xdotool xprop readelf
scratch_folder

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log" >&2; fail "cpack failed"; }
arch=$(dpkg --print-architecture)
cli=$tmp/out/varnolink_${version}_$arch.deb
window=$tmp/out/varnolink-setup_${version}_$arch.deb
for deb in "$cli" "$window"; do
    [ -f "$deb" ] || { ls "$tmp/out" >&2; fail "no $(basename "$deb")"; }
done
[ "$(find "$tmp/out" -maxdepth 1 -name '*.deb' | wc -l)" -eq 2 ] || fail "cpack made other packages than the two"

# Control fields common to both.
for deb in "$cli" "$window"; do
    field() { dpkg-deb --field "$deb" "$1"; }
    name=$(basename "$deb" "_${version}_$arch.deb")
    [ "$(field Package)" = "$name" ] || fail "Package: $(field Package)"
    [ "$(field Version)" = "$version" ] || fail "$name Version: $(field Version)"
    [ "$(field Architecture)" = "$arch" ] || fail "$name Architecture: $(field Architecture)"
    [ "$(field Section)" = utils ] || fail "$name Section: $(field Section)"
    field Maintainer | grep -q '^[^<]\+ <[^@>]\+@[^>]\+>$' || fail "$name Maintainer: $(field Maintainer)"
    [ "$(field Description | wc -l)" -ge 3 ] || fail "$name Description has no long description"
done

# Depends come from dpkg-shlibdeps. The command line pulls no Qt package;
# the window pulls the Qt libraries, the platform plugins loaded at run time
# and the command line's package of the same version.
has() { echo "$1" | tr ',' '\n' | grep -q "^ *$2\( \|$\)"; }
cli_depends=$(dpkg-deb --field "$cli" Depends)
for package in libc6 libstdc++6; do
    has "$cli_depends" $package || fail "varnolink Depends lacks $package: $cli_depends"
done
if echo "$cli_depends" | grep -qi 'qt'; then
    fail "varnolink depends on Qt: $cli_depends"
fi
window_depends=$(dpkg-deb --field "$window" Depends)
for package in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 qt6-qpa-plugins; do
    has "$window_depends" $package || fail "varnolink-setup Depends lacks $package: $window_depends"
done
echo "$window_depends" | tr ',' '\n' | grep -qx " *varnolink (= $version)" ||
    fail "varnolink-setup does not depend on varnolink (= $version): $window_depends"

# Debian's own checks: an error or a warning (no copyright file, a broken
# changelog, files in the wrong place) fails the packages.
lintian --fail-on error,warning "$cli" "$window" >"$tmp/lintian.log" 2>&1 ||
    { cat "$tmp/lintian.log" >&2; fail "lintian reports errors or warnings"; }

# Contents: each package's files, nothing of one in the other, nothing
# outside /usr but the systemd units.
contents() { dpkg-deb --fsys-tarfile "$1" | tar -t | grep -v '/$'; }
contents "$cli" >"$tmp/cli.contents"
contents "$window" >"$tmp/window.contents"
grep -v "^\./usr/" "$tmp/cli.contents" | grep -v "^\.$unit_dir/" >"$tmp/outside" || true
grep -v '^\./usr/' "$tmp/window.contents" >>"$tmp/outside" || true
[ ! -s "$tmp/outside" ] || { cat "$tmp/outside" >&2; fail "a package installs outside /usr"; }
sort "$tmp/cli.contents" "$tmp/window.contents" | uniq -d >"$tmp/shared"
[ ! -s "$tmp/shared" ] || { cat "$tmp/shared" >&2; fail "both packages hold these files"; }
in_package() { grep -qx "\.$2" "$tmp/$1.contents" || fail "$1 package lacks $2"; }
for f in bin/varnolink bin/varnolink-sim share/man/man1/varnolink.1.gz share/man/man1/varnolink-sim.1.gz \
         share/bash-completion/completions/varnolink share/varnolink/varnolink.schema.json \
         lib/sysusers.d/varnolink.conf lib/tmpfiles.d/varnolink.conf \
         share/doc/varnolink/copyright share/doc/varnolink/changelog.gz; do
    in_package cli "/usr/$f"
done
for f in varnolink-audit@.service varnolink-audit@.timer; do
    in_package cli "$unit_dir/$f"
done
# The metrics examples of the source tree, as they are there.
for example in "$(dirname "$0")"/../../packaging/prometheus/*; do
    [ -f "$example" ] && in_package cli "/usr/share/doc/varnolink/examples/$(basename "$example")"
done
# The Ansible collection where Debian's Ansible finds it.
for f in galaxy.yml meta/runtime.yml plugins/module_utils/varnolink_cli.py plugins/doc_fragments/varnolink.py \
         plugins/modules/varnolink_config.py \
         plugins/modules/varnolink_info.py plugins/modules/varnolink_plant.py; do
    in_package cli "/usr/share/ansible/collections/ansible_collections/varnolink/plant/$f"
done
for f in bin/varnolink-setup share/man/man1/varnolink-setup.1.gz \
         share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
         share/icons/hicolor/scalable/apps/$id.svg \
         share/icons/hicolor/16x16/apps/$id.png share/icons/hicolor/32x32/apps/$id.png \
         share/icons/hicolor/48x48/apps/$id.png share/icons/hicolor/64x64/apps/$id.png \
         share/icons/hicolor/128x128/apps/$id.png share/icons/hicolor/256x256/apps/$id.png \
         share/doc/varnolink-setup/copyright share/doc/varnolink-setup/changelog.gz; do
    in_package window "/usr/$f"
done

# The command line's package alone, unpacked into a scratch root: its
# programs run from there and link no Qt library.
root=$tmp/root
dpkg-deb --extract "$cli" "$root"
for program in varnolink varnolink-sim; do
    if readelf -d "$root/usr/bin/$program" | grep -q 'R\(UN\)\?PATH'; then
        fail "$program carries a library search path: $(readelf -d "$root/usr/bin/$program" | grep PATH)"
    fi
    if readelf -d "$root/usr/bin/$program" | grep NEEDED | grep -qi qt; then
        fail "$program links Qt: $(readelf -d "$root/usr/bin/$program" | grep NEEDED)"
    fi
done
"$root/usr/bin/varnolink" --version | grep -qx "varnolink $version" || fail "the packaged varnolink does not run"
"$root/usr/bin/varnolink-sim" --help | grep -q "^Usage: varnolink-sim" || fail "the packaged varnolink-sim does not run"

# Then the window's package on top.
dpkg-deb --extract "$window" "$root"
if readelf -d "$root/usr/bin/varnolink-setup" | grep -q 'R\(UN\)\?PATH'; then
    fail "varnolink-setup carries a library search path"
fi
wm_class=$(sed -n 's/^StartupWMClass=//p' "$root/usr/share/applications/$id.desktop")
[ -n "$wm_class" ] || fail "the desktop entry has no StartupWMClass"

# A display number of our own, away from other tests' xvfb-run; -a moves on
# if it is taken. -noreset: by default the server resets when its last client
# leaves and refuses connections meanwhile, so the program could meet a
# resetting server right after the readiness probe disconnects.
xvfb-run -a -n $((100 + $$ % 400)) -e "$tmp/xvfb.log" -s "-screen 0 1024x768x24 -noreset" \
    sh "$show_window" "$root/usr/bin/varnolink-setup" "$wm_class" ||
    { cat "$tmp/xvfb.log" >&2; fail "the packaged program showed no window"; }
echo "debian packages: varnolink ($(wc -l <"$tmp/cli.contents") files; Depends: $cli_depends)," \
     "varnolink-setup ($(wc -l <"$tmp/window.contents") files); lintian clean; the window shows"
