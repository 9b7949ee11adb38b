#!/bin/sh
# SPDX-License-Identifier: MIT
# The plant audit's systemd units: systemd-analyze verifies them, their
# sandbox keeps the service's exposure at or below the threshold, and the
# service's own command line, run with its paths moved into a scratch folder,
# audits a simulated module and leaves the JSON, the HTML report and the
# metrics where the unit says. The package's sysusers.d entry makes the audits' group, and its
# tmpfiles.d entry lets that group write node_exporter's textfile folder.
# Usage: check_systemd_units.sh <varnolink> <varnolink-sim> <unit source dir> <highest exposure, tenths>
set -eu
varnolink=$1
simulator=$2
units=$3
threshold=$4

. "$(dirname "$0")/check_common.sh"
need_tools systemd-analyze
scratch_folder
sim_pid=
trap '[ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null; rm -rf "$tmp"' EXIT
service=$units/varnolink-audit@.service
timer=$units/varnolink-audit@.timer

# The units as systemd reads them; the manual page is not installed here.
systemd-analyze verify --man=no "$service" "$timer" >"$tmp/verify.log" 2>&1 ||
    { cat "$tmp/verify.log" >&2; fail "systemd-analyze verify rejects the units"; }
[ ! -s "$tmp/verify.log" ] || { cat "$tmp/verify.log" >&2; fail "systemd-analyze verify has remarks"; }

# The sandbox: the overall exposure (0.0 to 10.0) at most the threshold.
systemd-analyze security --offline=true --root=/ --threshold="$threshold" "$service" >"$tmp/security.log" 2>&1 ||
    { cat "$tmp/security.log" >&2; fail "exposure above $threshold tenths"; }
exposure=$(sed -n 's/^.*Overall exposure level for [^:]*: \([0-9.]*\) .*$/\1/p' "$tmp/security.log")
[ -n "$exposure" ] || { cat "$tmp/security.log" >&2; fail "no exposure figure"; }

# The audits' group, made in a scratch root.
mkdir -p "$tmp/sysroot/etc"
for database in passwd group shadow gshadow; do : >"$tmp/sysroot/etc/$database"; done
systemd-sysusers --root="$tmp/sysroot" "$units/varnolink.sysusers" >"$tmp/sysusers.log" 2>&1 ||
    { cat "$tmp/sysusers.log" >&2; fail "systemd-sysusers rejects varnolink.sysusers"; }
grep -q '^varnolink:x:[0-9]*:$' "$tmp/sysroot/etc/group" || fail "no group varnolink: $(cat "$tmp/sysroot/etc/group")"

# The textfile folder as a root-owned 0755 folder, opened by the tmpfiles.d
# line to a group this system has (nogroup standing for varnolink, which
# exists only where the package is installed): a user whose only group that
# is may then create files in it. Switching users needs root.
if [ "$(id -u)" -eq 0 ]; then
    folder=$tmp/root/var/lib/prometheus/node-exporter
    mkdir -p "$folder"
    chmod 0755 "$tmp" "$tmp/root" "$tmp/root/var" "$tmp/root/var/lib" "$tmp/root/var/lib/prometheus" "$folder"
    sed "s/group:varnolink:/group:$(getent group 65534 | cut -d: -f1):/" "$units/varnolink.tmpfiles" >"$tmp/tmpfiles.conf"
    systemd-tmpfiles --root="$tmp/root" --create "$tmp/tmpfiles.conf" >"$tmp/tmpfiles.log" 2>&1 ||
        { cat "$tmp/tmpfiles.log" >&2; fail "systemd-tmpfiles rejects varnolink.tmpfiles"; }
    setpriv --reuid=65534 --regid=65534 --clear-groups sh -c ": >'$folder/varnolink-test.prom'" ||
        fail "the audits' group cannot write the textfile folder"
else
    echo "not root: the textfile folder's permission is not checked"
fi

# The service's command line, its continuation lines joined, for the plant
# "test", with systemd's $$ as the shell's $ and every path in the scratch
# folder.
command=$(sed -n '/^ExecStart=/,/[^\\]$/p' "$service" | sed 's/^ExecStart=//; s/\\$//' | tr '\n' ' ' |
    sed -e 's/%i/test/g' -e 's/\$\$/$/g' \
        -e "s|/usr/bin/varnolink|$varnolink|g" \
        -e "s|/etc/varnolink/plants|$tmp/plants|g" \
        -e "s|/var/lib/varnolink|$tmp/state|g" \
        -e "s|/var/lib/prometheus/node-exporter|$tmp/textfile|g")
case $command in
    "/bin/sh -c '"*) ;;
    *) fail "ExecStart is no shell command line: $command" ;;
esac

# A simulated module on a pseudo-terminal; its path is the simulator's first
# line, read from a pipe as it comes.
mkfifo "$tmp/simulator.out"
"$simulator" >"$tmp/simulator.out" &
sim_pid=$!
exec 3<"$tmp/simulator.out"
read -r pty <&3 || fail "the simulator named no pseudo-terminal"
mkdir -p "$tmp/plants" "$tmp/state/test"
"$varnolink" read -p "$pty" -o "$tmp/plants/module.ini" >/dev/null || fail "the module could not be read"
printf 'name,port,config\nmodule,%s,module.ini\n' "$pty" >"$tmp/plants/test.csv"

# Once without node_exporter's folder (no metrics), then with it.
run_service() {
    status=0
    eval "$command" >"$tmp/run.log" 2>&1 || status=$?
    [ $status -eq 0 ] || { cat "$tmp/run.log" >&2; fail "the service's command ended with status $status"; }
    grep -q '"ok": *true' "$tmp/state/test/audit.json" || { cat "$tmp/state/test/audit.json" >&2; fail "audit.json"; }
    grep -q '<html' "$tmp/state/test/audit.html" || fail "no HTML report in the state folder"
    [ ! -e "$tmp/state/test/audit.json.new" ] || fail "the JSON was left beside"
}
run_service
[ ! -e "$tmp/textfile" ] || fail "a textfile folder was made"
mkdir "$tmp/textfile"
run_service
metrics=$tmp/textfile/varnolink-test.prom
grep -q '^varnolink_module_holds_file{.*} 1$' "$metrics" || { cat "$metrics" >&2; fail "no metrics of the module"; }
echo "systemd units: verified; exposure $exposure (at most $((threshold / 10)).$((threshold % 10))); the service's command audits"
