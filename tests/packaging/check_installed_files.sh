#!/bin/sh
# SPDX-License-Identifier: MIT
# `cmake --install` into a scratch DESTDIR puts every file of the application
# where desktops look for it, and the desktop entry and the metainfo pass
# their validators and agree with each other and with the installed files.
# Usage: check_installed_files.sh <build dir> <source dir> <application id> <version>
set -eu
build=$1
source=$2
id=$3
version=$4

. "$(dirname "$0")/check_common.sh"
need_tools desktop-file-validate appstreamcli file
scratch_folder
root=$tmp/root
DESTDIR=$root cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 ||
    { cat "$tmp/install.log" >&2; fail "cmake --install failed"; }
usr=$root/usr

desktop=$usr/share/applications/$id.desktop
metainfo=$usr/share/metainfo/$id.metainfo.xml
hicolor=$usr/share/icons/hicolor
for f in "$usr/bin/varnolink-setup" "$usr/bin/varnolink-sim" "$usr/bin/varnolink"; do
    [ -x "$f" ] || fail "program $f not installed"
done
for f in "$desktop" "$metainfo" "$hicolor/scalable/apps/$id.svg" \
         "$usr/share/man/man1/varnolink-sim.1.gz" "$usr/share/man/man1/varnolink-setup.1.gz" \
         "$usr/share/man/man1/varnolink.1.gz" "$usr/share/bash-completion/completions/varnolink"; do
    [ -f "$f" ] || fail "$f not installed"
done

# Every fixed-size icon is a PNG of the size its folder names.
for size in 16 32 48 64 128 256; do
    png=$hicolor/${size}x$size/apps/$id.png
    [ -f "$png" ] || fail "$png not installed"
    file -b "$png" | grep -q "^PNG image data, $size x $size," ||
        fail "$png is not a ${size}x$size PNG: $(file -b "$png")"
done
file -b "$hicolor/scalable/apps/$id.svg" | grep -q "SVG" || fail "the scalable icon is not SVG"

# The compressed manual pages hold the pages of the source tree.
for page in varnolink-sim.1 varnolink-setup.1 varnolink.1; do
    gzip -dc "$usr/share/man/man1/$page.gz" | cmp -s - "$source/packaging/man/$page" ||
        fail "installed $page.gz differs from packaging/man/$page"
done

# The validators: any remark at all counts as a failure.
if ! desktop-file-validate "$desktop" >"$tmp/desktop.log" 2>&1 || [ -s "$tmp/desktop.log" ]; then
    cat "$tmp/desktop.log" >&2; fail "desktop-file-validate rejects $id.desktop"
fi
appstreamcli validate --no-net --strict "$metainfo" >"$tmp/metainfo.log" 2>&1 ||
    { cat "$tmp/metainfo.log" >&2; fail "appstreamcli rejects $id.metainfo.xml"; }
# The tree as a whole: the metainfo's desktop entry is there and matches.
appstreamcli validate-tree --no-net --strict "$root" >"$tmp/tree.log" 2>&1 ||
    { cat "$tmp/tree.log" >&2; fail "appstreamcli rejects the installed tree"; }

# The desktop entry launches an installed program, by the id's icon, in the
# requested menu categories.
entry() { sed -n "s/^$1=//p" "$desktop"; }
exec_program=$(entry Exec | cut -d' ' -f1)
[ -x "$usr/bin/$exec_program" ] || fail "Exec=$exec_program is not an installed program"
[ "$(entry Icon)" = "$id" ] || fail "Icon=$(entry Icon), expected $id"
[ "$(entry Categories)" = "Utility;Qt;" ] || fail "Categories=$(entry Categories)"

# The metainfo names the same id and desktop entry, the programs it lists
# are installed, and it carries a screenshot and a release entry for this
# version.
tag() { tr -d '\n' <"$metainfo" | grep -o "<$1[^>]*>[^<]*</$1>" | sed 's/<[^>]*>//g'; }
[ "$(tag id)" = "$id" ] || fail "metainfo id $(tag id), expected $id"
[ "$(tag launchable)" = "$id.desktop" ] || fail "metainfo launchable $(tag launchable), expected $id.desktop"
binaries=$(tag binary)
[ -n "$binaries" ] || fail "metainfo lists no programs"
for program in $binaries; do
    [ -x "$usr/bin/$program" ] || fail "metainfo lists $program, which is not installed"
done
tag image | grep -q "/screenshot.png$" || fail "metainfo has no screenshot"
grep -q "<release version=\"$version\" date=\"[0-9-]*\"" "$metainfo" ||
    fail "metainfo has no dated release entry for version $version"
echo "installed files: all present and valid"
