#!/usr/bin/python3
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT
"""Ansible module: a whole plant audited, applied or backed up by one varnolink run."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: varnolink_plant
short_description: Audit, apply or back up a plant of VARNOLINK I/O modules
version_added: "1.0.0"
description:
  - Runs one C(varnolink) process for the whole plant of I(inventory), every
    line at once; the result carries every row and the totals.
  - I(state=audited) reads every module and compares it with its file.
  - I(state=applied) writes its file into every module that differs (after
    keeping what it held); in check mode it is C(varnolink apply --dry-run)
    and nothing is written.
  - I(state=backed_up) reads every module into I(dest); in check mode
    nothing is read or written.
options:
  inventory:
    description: The plant's inventory (CSV with name, port, config, location) on the managed host.
    type: path
    required: true
  state:
    description: What the plant should be.
    type: str
    choices: [audited, applied, backed_up]
    default: audited
  dest:
    description: The folder the backups go to (I(state=backed_up)), or the backup folder of an apply.
    type: path
  fail_on_drift:
    description:
      - Fail the task when a module differs from its file (exit code 4 of
        varnolink). With C(false) only unreachable modules and errors fail it.
      - In check mode with I(state=applied), modules that differ are the ones
        the apply would write, so they make the task C(changed), not failed.
    type: bool
    default: true
  reason:
    description: A change ticket or reason, written to varnolink's change journal with every change.
    type: str
  timeout:
    description: Seconds the whole varnolink run may take before it is stopped.
    type: int
    default: 3600
extends_documentation_fragment:
  - varnolink.plant.varnolink
author:
  - VARNOLINK I/O setup developers
"""

EXAMPLES = r"""
- name: Every module of the site holds its file
  varnolink.plant.varnolink_plant:
    inventory: /etc/varnolink/plants/site.csv
    state: applied
    reason: CHG-1042
  register: plant

- name: Nightly audit, drift reported but not failed
  varnolink.plant.varnolink_plant:
    inventory: /etc/varnolink/plants/site.csv
    fail_on_drift: false
"""

RETURN = r"""
rows:
  description: One row per module of the inventory, as C(varnolink --json) gives them (name, port, result, differences, ...).
  returned: always
  type: list
  elements: dict
totals:
  description: Modules by result (total, ok, differing, unreachable, file_errors, stopped).
  returned: always
  type: dict
exit_code:
  description: The exit code of varnolink.
  returned: always
  type: int
"""

from ansible_collections.varnolink.plant.plugins.module_utils.varnolink_cli import (
    EXIT_DIFFERS,
    EXIT_DONE,
    common_argument_spec,
    run_varnolink,
    varnolink_module,
)


def main():
    module = varnolink_module(
        common_argument_spec(
            inventory=dict(type="path", required=True),
            state=dict(type="str", choices=["audited", "applied", "backed_up"], default="audited"),
            dest=dict(type="path"),
            fail_on_drift=dict(type="bool", default=True),
            reason=dict(type="str"),
            timeout=dict(type="int", default=3600),
        ),
        required_if=[("state", "backed_up", ("dest",))],
    )
    params = module.params
    state = params["state"]
    if state == "backed_up" and module.check_mode:
        module.exit_json(changed=True, rows=[], totals={}, exit_code=EXIT_DONE, msg="would back up the plant")

    if state == "audited":
        args = ["audit", params["inventory"]]
    elif state == "applied":
        args = ["apply", params["inventory"]]
        if module.check_mode:
            args.append("--dry-run")
        if params["dest"]:
            args += ["--backup-dir", params["dest"]]
        if params["reason"]:
            args += ["--reason", params["reason"]]
    else:
        args = ["backup", params["inventory"], "-o", params["dest"]]
    # The plant's own bound comes before the task's: varnolink then ends
    # every line and reports each module.
    args += ["--deadline", str(max(params["timeout"] - 5, 1))]

    run = run_varnolink(module, args)
    result = dict(
        changed=bool(run.result.get("changed", state == "backed_up")),
        rows=run.result.get("rows", []),
        totals=run.result.get("totals", {}),
        warnings_text=run.result.get("warnings", []),
        exit_code=run.rc,
    )
    if run.result.get("comment"):
        result["msg"] = run.result["comment"]
    # A dry run's modules that differ are the ones it would write, not a
    # failure; elsewhere drift fails the task unless allowed.
    drift_allowed = not params["fail_on_drift"] or (state == "applied" and module.check_mode)
    failed = run.rc != EXIT_DONE and not (run.rc == EXIT_DIFFERS and drift_allowed)
    if failed:
        result["msg"] = run.failure_message() if run.result.get("error") else plant_failure(result["totals"], run.rc)
        module.fail_json(stderr=run.stderr, **result)
    module.exit_json(**result)


def plant_failure(totals, rc):
    """The totals in words, for a run that ended with modules not as asked."""
    parts = []
    for key, words in (
        ("differing", "differ from their files"),
        ("unreachable", "could not be reached"),
        ("file_errors", "had file errors"),
        ("stopped", "were stopped"),
    ):
        if totals.get(key):
            parts.append("%d %s" % (totals[key], words))
    return "of %d modules, %s (varnolink exit code %d)" % (totals.get("total", 0), ", ".join(parts) or "some failed", rc)


if __name__ == "__main__":
    main()
