#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# The Ansible collection's plant module against the command line it runs:
#
#   BENCH ansible_plant_check_100_vs_cli  the check-mode play of
#     varnolink_plant (state applied) over 100 simulated modules at 9600
#     baud, less the same play with its task replaced by ansible.builtin.ping
#     (Ansible's own start-up and module round trip), against
#     "varnolink apply --dry-run" of the same plant run directly. Medians of 3.
#
#   ansible_plant_bench.py VARNOLINK VARNOLINK_SIM COLLECTION
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

VARNOLINK, SIMULATOR, COLLECTION = (os.path.abspath(path) for path in sys.argv[1:4])
RUNS = 3

PLAY = """
- hosts: all
  gather_facts: false
  tasks:
    - %s
"""
PLANT_TASK = """varnolink.plant.varnolink_plant:
        inventory: "%s/plant.csv"
        state: applied
        fail_on_drift: false
        executable: %s"""


def timed(command, env=None):
    started = time.monotonic()
    run = subprocess.run(command, capture_output=True, text=True, env=env, timeout=600)
    took = time.monotonic() - started
    if run.returncode not in (0, 4):
        raise RuntimeError("%s ended with %d: %s" % (command[0], run.returncode, run.stderr[-2000:]))
    return took


def main():
    folder = tempfile.mkdtemp(prefix="varnolink-ansible-bench-")
    plant = subprocess.Popen(
        [SIMULATOR, "--plant", "100", "--plant-differ", "5,50", "--plant-inventory", os.path.join(folder, "plant")],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        plant.stdout.readline()  # the first port: the plant is listening
        collections = os.path.join(folder, "collections", "ansible_collections", "varnolink")
        os.makedirs(collections)
        os.symlink(COLLECTION, os.path.join(collections, "plant"))
        hosts = os.path.join(folder, "hosts.ini")
        with open(hosts, "w") as handle:
            handle.write("gateway ansible_connection=local ansible_python_interpreter=/usr/bin/python3\n")
        env = dict(
            os.environ,
            ANSIBLE_COLLECTIONS_PATH=os.path.join(folder, "collections"),
            ANSIBLE_LOCAL_TEMP=os.path.join(folder, "tmp"),
            ANSIBLE_HOME=os.path.join(folder, "home"),
        )
        plays = {}
        for name, task in (("plant", PLANT_TASK % (os.path.join(folder, "plant"), VARNOLINK)),
                           ("noop", "ansible.builtin.ping:")):
            plays[name] = os.path.join(folder, name + ".yml")
            with open(plays[name], "w") as handle:
                handle.write(PLAY % task)
        cli, play, noop = [], [], []
        for _ in range(RUNS):
            cli.append(timed([VARNOLINK, "apply", "--dry-run", os.path.join(folder, "plant", "plant.csv")]))
            play.append(timed(["ansible-playbook", "-i", hosts, "--check", plays["plant"]], env))
            noop.append(timed(["ansible-playbook", "-i", hosts, "--check", plays["noop"]], env))
        cli_s, play_s, noop_s = (statistics.median(values) for values in (cli, play, noop))
        ratio = (play_s - noop_s) / cli_s
        print("Ansible's varnolink_plant in check mode over 100 simulated modules (medians of %d)" % RUNS)
        print("  %-56s %8.3f s" % ("the play", play_s))
        print("  %-56s %8.3f s" % ("the same play with a ping task instead", noop_s))
        print("  %-56s %8.3f s" % ("varnolink apply --dry-run run directly", cli_s))
        print("BENCH ansible_plant_check_100_vs_cli %.4f" % ratio)
        print("BENCHROW Ansible varnolink_plant check mode, 100 modules, s less Ansible's own start-up "
              "(vs varnolink apply --dry-run)|%.3f|%.3f|%.3f|<= 1.2" % (play_s - noop_s, cli_s, ratio))
    finally:
        plant.send_signal(signal.SIGTERM)
        plant.wait(timeout=10)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
