# SPDX-License-Identifier: MIT
# Sourced by the packaging checks: how a check fails, the tools it needs, and
# its scratch folder.

fail() { echo "FAIL: $*" >&2; exit 1; }

# need_tools TOOL...: fails naming the first tool that is not installed.
need_tools() {
    for tool in "$@"; do
        command -v "$tool" >/dev/null || fail "$tool not found (scripts/install-deps)"
    done
}

# scratch_folder: a new folder in $tmp, removed when the check exits (a check
# that sets a trap of its own removes it there).
scratch_folder() {
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
}
