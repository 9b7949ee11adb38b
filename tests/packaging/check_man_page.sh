#!/bin/sh
# SPDX-License-Identifier: MIT
# The simulator's manual page renders without warnings, documents every
# option its --help lists, and documents no option the program rejects.
# Usage: check_man_page.sh <varnolink-sim> <man page folder>
set -eu
sim=$1
man_dir=$2
page=$man_dir/varnolink-sim.1

. "$(dirname "$0")/check_common.sh"
need_tools groff
scratch_folder

for source in "$man_dir"/*.1; do
    # -ww: every warning; the man macros report misuse as warnings too.
    groff -man -ww -z "$source" 2>"$tmp/warnings" || fail "groff failed on $source"
    [ ! -s "$tmp/warnings" ] || { cat "$tmp/warnings" >&2; fail "groff warns about $source"; }
done

# Plain text of the page, without overstriking, option names unbroken (.nh).
LC_ALL=C groff -man -Tascii -P-c -P-b -P-u "$page" >"$tmp/page.txt" 2>/dev/null
"$sim" --help >"$tmp/help.txt" || fail "varnolink-sim --help failed"
[ -s "$tmp/help.txt" ] || fail "varnolink-sim --help printed nothing"

options() { grep -o -- '--[a-z0-9][a-z0-9-]*' "$1" | sort -u; }
options "$tmp/help.txt" >"$tmp/help.options"
options "$tmp/page.txt" >"$tmp/page.options"
[ "$(wc -l <"$tmp/help.options")" -ge 20 ] || fail "found too few options in --help"

missing=$(comm -23 "$tmp/help.options" "$tmp/page.options")
[ -z "$missing" ] || fail "options of --help missing from the manual page:" $missing

# Each option of the page must be one the program knows. With a dummy value
# and --help after it, nothing starts: the line is parsed, then either a
# value error or the help text ends the run. Only an unknown option says so.
while read -r option; do
    if "$sim" "$option=x" --help 2>&1 >/dev/null | grep -q "unknown option"; then
        fail "the manual page documents $option, which varnolink-sim does not know"
    fi
done <"$tmp/page.options"

# The kinds of --malformed, as the program names them when it rejects one,
# each have their entry in the page.
kinds=$("$sim" --malformed=nonsense 2>&1 >/dev/null | sed -n 's/.*expected \(.*\), got.*/\1/p' | sed 's/,/ /g; s/ or / /')
[ -n "$kinds" ] || fail "varnolink-sim did not list the kinds of --malformed"
for kind in $kinds; do
    grep -q "^ *$kind  " "$tmp/page.txt" || fail "--malformed kind \"$kind\" missing from the manual page"
done
echo "manual page: $(wc -l <"$tmp/page.options") options checked"
