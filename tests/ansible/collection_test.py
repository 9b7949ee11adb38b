#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# The Ansible collection varnolink.plant run by the real ansible-core against
# the module simulator: documentation, check and diff modes with no write
# frame on the line, a real write then a second run that changes nothing, a
# silent module failing its host only, two sites in one play, and one
# varnolink process for a whole plant.
#
#   collection_test.py VARNOLINK VARNOLINK_SIM COLLECTION_SOURCE
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

VARNOLINK, SIMULATOR, COLLECTION = (os.path.abspath(path) for path in sys.argv[1:4])
WRITE_FRAME = re.compile(r"^\*\d\d:1,")
FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAILED: " + what, flush=True)


class Simulator:
    """varnolink-sim on a pty (or a plant on TCP ports), its request trace in a
    file, stopped with SIGTERM at the end."""

    def __init__(self, folder, name, *options):
        self.trace = os.path.join(folder, name + ".requests")
        self.out = open(os.path.join(folder, name + ".out"), "w+")
        # A plant has no request trace; a single module prints each request.
        trace = [] if "--plant" in options else ["--print-requests"]
        self.process = subprocess.Popen(
            [SIMULATOR] + trace + list(options),
            stdout=self.out,
            stderr=open(self.trace, "w"),
        )
        self.first_line = self.wait_for_line()

    def wait_for_line(self):
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            self.out.seek(0)
            text = self.out.read()
            if "\n" in text:
                return text.split("\n", 1)[0]
            check(self.process.poll() is None, "the simulator started")
            time.sleep(0.05)
        raise RuntimeError("the simulator printed nothing within 20 s")

    def write_frames(self):
        with open(self.trace) as trace:
            return sum(1 for line in trace if WRITE_FRAME.match(line))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def playbook(folder, name, text, inventory, *options, env=None):
    """Runs a playbook with the JSON callback; the parsed result per host and
    task, and the exit code."""
    path = os.path.join(folder, name + ".yml")
    with open(path, "w") as handle:
        handle.write(text)
    environment = dict(os.environ)
    environment.update(
        ANSIBLE_COLLECTIONS_PATH=os.path.join(folder, "collections"),
        ANSIBLE_STDOUT_CALLBACK="results_json",
        ANSIBLE_CALLBACK_PLUGINS=os.path.join(os.path.dirname(os.path.abspath(__file__)), "callback_plugins"),
        ANSIBLE_LOCAL_TEMP=os.path.join(folder, "tmp"),
        ANSIBLE_HOME=os.path.join(folder, "home"),
        ANSIBLE_NOCOLOR="1",
        ANSIBLE_RETRY_FILES_ENABLED="0",
        XDG_STATE_HOME=os.path.join(folder, "state"),
    )
    environment.update(env or {})
    run = subprocess.run(
        ["ansible-playbook", "-i", inventory, path] + list(options),
        capture_output=True,
        text=True,
        env=environment,
        timeout=240,
    )
    try:
        report = json.loads(run.stdout)
    except ValueError:
        print(run.stdout, run.stderr)
        raise
    results = {}
    for play in report["plays"]:
        for task in play["tasks"]:
            for host, result in task["hosts"].items():
                results.setdefault(host, []).append(result)
    return results, run.returncode


def inventory(folder, hosts):
    """An inventory of local hosts, each with its own variables."""
    path = os.path.join(folder, "hosts.json")
    body = {"all": {"hosts": {}}}
    for name, variables in hosts.items():
        variables = dict(variables, ansible_connection="local", ansible_python_interpreter=sys.executable)
        body["all"]["hosts"][name] = variables
    with open(path, "w") as handle:
        json.dump(body, handle)
    return path


def config_file(folder, name, p0_direction):
    path = os.path.join(folder, name)
    with open(path, "w") as handle:
        handle.write(
            "[module]\nformat = 1\nremote_id = 01\nbaud = 9600\n"
            "[direction]\nP0 = %s\nP1 = 00\nP2 = F0\nP4 = FF\nP5 = FF\n"
            "[power_on_default]\nP0 = FF\nP1 = FF\nP2 = FF\nP4 = FF\nP5 = FF\n" % p0_direction
        )
    return path


def test_documentation(folder):
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=os.path.join(folder, "collections"),
               ANSIBLE_HOME=os.path.join(folder, "home"))
    built = subprocess.run(["ansible-galaxy", "collection", "build", COLLECTION, "--output-path", folder],
                           capture_output=True, text=True, env=env, timeout=120)
    check(built.returncode == 0 and os.path.isfile(os.path.join(folder, "varnolink-plant-1.0.0.tar.gz")),
          "ansible-galaxy builds the collection: " + built.stderr[-500:])
    for module in ("varnolink_config", "varnolink_info", "varnolink_plant"):
        run = subprocess.run(
            ["ansible-doc", "--json", "varnolink.plant." + module], capture_output=True, text=True, env=env, timeout=60
        )
        check(run.returncode == 0, "ansible-doc renders " + module + ": " + run.stderr[-500:])
        if run.returncode == 0:
            doc = json.loads(run.stdout)["varnolink.plant." + module]["doc"]
            check(doc.get("options") and doc.get("short_description"), module + " documents its options")


CONFIG_PLAY = """
- hosts: all
  gather_facts: false
  tasks:
    - varnolink.plant.varnolink_config:
        port: "{{ port }}"
        config: "{{ config }}"
        executable: %s
        timeout: 60
        reason: CHG-7 test
"""


def test_one_module(folder):
    module = Simulator(folder, "module")
    wanted = config_file(folder, "wanted.ini", "5A")
    hosts = inventory(folder, {"cabinet": {"port": module.first_line, "config": wanted}})
    play = CONFIG_PLAY % VARNOLINK
    try:
        results, code = playbook(folder, "check", play, hosts, "--check", "--diff")
        result = results["cabinet"][0]
        check(code == 0 and result.get("changed") is True, "check mode reports changed: %s" % result)
        diff = (result.get("diff") or [{}])[0] if isinstance(result.get("diff"), list) else result.get("diff") or {}
        check("P0 = 00" in diff.get("before", "") and "P0 = 5A" in diff.get("after", ""), "diff shows before and after")
        check(module.write_frames() == 0, "check mode puts no write frame on the line")

        results, code = playbook(folder, "apply", play, hosts)
        result = results["cabinet"][0]
        check(code == 0 and result.get("changed") is True, "a real run writes: %s" % result)
        check(result.get("config", {}).get("direction", {}).get("P0") == "5A", "the module holds the file")
        check(os.path.isfile(result.get("backup_file", "")), "the backup file is returned and kept")
        written = module.write_frames()
        check(written > 0, "the real run put write frames on the line")

        results, code = playbook(folder, "again", play, hosts)
        result = results["cabinet"][0]
        check(code == 0 and result.get("changed") is False, "a second run changes nothing: %s" % result)
        check(module.write_frames() == written, "a second run sends no write frame")
    finally:
        module.stop()


def test_silent_module_fails_its_host_only(folder):
    good = Simulator(folder, "good")
    silent = Simulator(folder, "silent", "--silent-from", "1")
    wanted = config_file(folder, "silent.ini", "0F")
    hosts = inventory(
        folder,
        {
            "working": {"port": good.first_line, "config": wanted},
            "broken": {"port": silent.first_line, "config": wanted},
        },
    )
    try:
        results, code = playbook(folder, "silent", CONFIG_PLAY % VARNOLINK, hosts, "--forks", "2")
        check(code != 0, "the play reports the failed host")
        broken = results["broken"][0]
        check(broken.get("failed") is True and "no reply" in broken.get("msg", ""), "plain message: %s" % broken)
        check("Traceback" not in json.dumps(broken), "no stack trace in the failure")
        check(results["working"][0].get("changed") is True, "the other host went on and wrote its module")
    finally:
        good.stop()
        silent.stop()


PLANT_PLAY = """
- hosts: all
  gather_facts: false
  tasks:
    - varnolink.plant.varnolink_plant:
        inventory: "{{ plant }}/plant.csv"
        state: "{{ plant_state }}"
        fail_on_drift: false
        executable: "{{ program }}"
        timeout: 120
"""


def counting_wrapper(folder):
    """A varnolink that notes each start in a file, then is the real one."""
    log = os.path.join(folder, "starts.log")
    path = os.path.join(folder, "varnolink-counting")
    with open(path, "w") as handle:
        handle.write('#!/bin/sh\necho "$@" >> %s\nexec %s "$@"\n' % (log, VARNOLINK))
    os.chmod(path, 0o755)
    return path, log


def test_two_sites_and_one_process_per_plant(folder):
    sites = {}
    plants = []
    try:
        for name, count, differ in (("north", 3, "2"), ("south", 100, "5,50")):
            plant_folder = os.path.join(folder, name)
            plants.append(
                Simulator(
                    folder, name, "--plant", str(count), "--plant-differ", differ, "--plant-inventory", plant_folder
                )
            )
            sites[name] = {"plant": plant_folder}
        program, starts = counting_wrapper(folder)
        for site in sites.values():
            site.update(program=program, plant_state="audited")
        results, code = playbook(folder, "sites", PLANT_PLAY, inventory(folder, sites), "--forks", "2")
        check(code == 0, "the audit of both sites passes with drift allowed")
        for name, count in (("north", 3), ("south", 100)):
            rows = results[name][0].get("rows", [])
            check(len(rows) == count, "%s reports its own %d rows, got %d" % (name, count, len(rows)))
            check(all(row["port"] in open(os.path.join(sites[name]["plant"], "plant.csv")).read() for row in rows),
                  name + "'s rows are its own plant's")

        os.remove(starts)
        only_south = {"south": dict(sites["south"], plant_state="applied")}
        results, code = playbook(folder, "apply", PLANT_PLAY, inventory(folder, only_south), "--check")
        result = results["south"][0]
        check(code == 0 and result.get("changed") is True, "check-mode apply would write: %s" % result.get("msg"))
        with open(starts) as handle:
            runs = handle.read().splitlines()
        check(len(runs) == 1 and "apply" in runs[0] and "--dry-run" in runs[0],
              "one varnolink process for the plant's check-mode apply: %s" % runs)
        audit = subprocess.run([VARNOLINK, "--json", "audit", os.path.join(sites["south"]["plant"], "plant.csv")],
                               capture_output=True, text=True, timeout=120)
        check(json.loads(audit.stdout)["totals"]["differing"] == 2, "the dry run wrote nothing: both still differ")
    finally:
        for plant in plants:
            plant.stop()


def main():
    folder = tempfile.mkdtemp(prefix="varnolink-ansible-")
    try:
        os.makedirs(os.path.join(folder, "collections", "ansible_collections", "varnolink"))
        os.symlink(os.path.abspath(COLLECTION), os.path.join(folder, "collections", "ansible_collections", "varnolink", "plant"))
        for test in (test_documentation, test_one_module, test_silent_module_fails_its_host_only,
                     test_two_sites_and_one_process_per_plant):
            print("== " + test.__name__, flush=True)
            test(folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    if FAILURES:
        print("%d checks failed" % len(FAILURES))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
