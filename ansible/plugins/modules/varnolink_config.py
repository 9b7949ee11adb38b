#!/usr/bin/python3
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT
"""Ansible module: one VARNOLINK I/O module on one port holds a configuration."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: varnolink_config
short_description: Make one VARNOLINK I/O module hold a configuration
version_added: "1.0.0"
description:
  - Reads the module on I(port), compares it with the configuration asked
    for and writes it only when the module holds other values, then reads
    it back and compares.
  - Runs the C(varnolink) command line on the managed host with C(--json).
  - Before the first write frame, the module's configuration is kept as a
    backup (unless I(backup=false)), and the change goes to varnolink's
    change journal with I(reason).
  - In check mode the module is read and compared; nothing is written and
    no write frame is put on the line.
options:
  config:
    description:
      - A configuration file on the managed host (as C(varnolink read)
        writes it). Exactly one of I(config) and I(settings) is given.
    type: path
  settings:
    description:
      - The configuration as values. Fields not given are left as the
        module has them.
      - Bytes are two hexadecimal digits (C(5A)) or C(0b) and eight binary
        digits, bit 7 first.
    type: dict
    suboptions:
      remote_id:
        description: The Remote ID, two hexadecimal digits.
        type: str
      baud:
        description: The module's own baud rate.
        type: int
        choices: [1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200]
      direction:
        description: Per port (C(P0), C(P1), C(P2), C(P4), C(P5)) the direction of each pin, 1 input, 0 output.
        type: dict
      power_on_default:
        description: Per port (C(P0) ... C(P5)) the level each output takes at power-on.
        type: dict
  keep:
    description:
      - Fields left as the module has them, whatever I(config) says
        (C(remote_id), C(baud), C(direction.P0), ...), or groups
        (C(module), C(direction), C(power_on_default)).
    type: list
    elements: str
    default: []
  backup:
    description: Keep the module's configuration in varnolink's backup folder before the first write frame.
    type: bool
    default: true
  reason:
    description: A change ticket or reason, written to varnolink's change journal with the change.
    type: str
attributes:
  diff_mode:
    support: full
notes:
  - C(changed) is true exactly when the module held other values; run
    again, the task reports C(changed=false) and sends no write frame.
extends_documentation_fragment:
  - varnolink.plant.varnolink
  - varnolink.plant.varnolink.line
author:
  - VARNOLINK I/O setup developers
"""

EXAMPLES = r"""
- name: Cabinet 3's module holds its file
  varnolink.plant.varnolink_config:
    port: /dev/ttyUSB0
    config: /etc/varnolink/modules/cabinet-3.ini
    reason: CHG-1042 new valve outputs

- name: P0 all outputs, low at power-on; everything else left alone
  varnolink.plant.varnolink_config:
    port: rfc2217://cabinet-box:4001
    settings:
      direction: {P0: "00"}
      power_on_default: {P0: "0b00000000"}
"""

RETURN = r"""
identity:
  description: The module's BIOS name and version.
  returned: when the module answered
  type: dict
  sample: {"bios_name": "VARNOLINK I/O", "bios_version": "1.00a"}
remote_id:
  description: The module's Remote ID at the end.
  returned: when the module answered
  type: str
  sample: "01"
config:
  description: The configuration the module holds at the end (read back after a write).
  returned: when the module answered
  type: dict
backup_file:
  description: Where the module's configuration was kept before the write.
  returned: when a write was made with I(backup=true)
  type: str
differences:
  description: The fields the module held other values in, before the task.
  returned: always
  type: list
  elements: dict
"""

import os

from ansible_collections.varnolink.plant.plugins.module_utils.varnolink_cli import (
    EXIT_DONE,
    line_arguments,
    port_argument_spec,
    run_varnolink,
    varnolink_module,
)

PORT_ROWS = ("P0", "P1", "P2", "P4", "P5")
GROUPS = ("direction", "power_on_default")


def settings_file_text(settings):
    """A configuration file holding the settings given, and the fields it
    leaves out (which the module keeps)."""
    lines = ["[module]", "format = 1"]
    missing = []
    if settings.get("remote_id") is not None:
        lines.append("remote_id = %s" % settings["remote_id"])
    else:
        missing.append("remote_id")
    if settings.get("baud") is not None:
        lines.append("baud = %d" % settings["baud"])
    else:
        missing.append("baud")
    for group in GROUPS:
        given = settings.get(group) or {}
        unknown = sorted(set(str(k).upper() for k in given) - set(PORT_ROWS))
        if unknown:
            raise ValueError("settings.%s: no port %s (ports are %s)" % (group, ", ".join(unknown), ", ".join(PORT_ROWS)))
        values = dict((str(k).upper(), v) for k, v in given.items())
        lines.append("[%s]" % group)
        for row in PORT_ROWS:
            if values.get(row) is not None:
                lines.append("%s = %s" % (row, values[row]))
            else:
                missing.append("%s.%s" % (group, row))
    return "\n".join(lines) + "\n", missing


def write_arguments(module, config_file, keep):
    args = ["write", "-p", module.params["port"], config_file]
    if keep:
        args += ["--keep", ",".join(keep)]
    return args + line_arguments(module.params)


def main():
    module = varnolink_module(
        port_argument_spec(
            config=dict(type="path"),
            settings=dict(type="dict"),
            keep=dict(type="list", elements="str", default=[]),
            backup=dict(type="bool", default=True),
            reason=dict(type="str"),
        ),
        mutually_exclusive=[("config", "settings")],
        required_one_of=[("config", "settings")],
    )
    keep = list(module.params["keep"])
    config_file = module.params["config"]
    if module.params["settings"] is not None:
        try:
            text, missing = settings_file_text(module.params["settings"])
        except ValueError as error:
            module.fail_json(msg=str(error))
        config_file = os.path.join(module.tmpdir, "settings.ini")
        with open(config_file, "w") as handle:
            handle.write(text)
        keep += missing

    # The module as it is, against what is asked: nothing is written here.
    plan = run_varnolink(module, write_arguments(module, config_file, keep) + ["--dry-run"])
    if plan.rc != EXIT_DONE:
        module.fail_json(msg=plan.failure_message(), rc=plan.rc, stderr=plan.stderr)
    before = plan.result
    result = dict(
        changed=bool(before.get("changed")),
        identity=before.get("identity"),
        remote_id=(before.get("before") or {}).get("remote_id"),
        config=before.get("before"),
        differences=before.get("differences", []),
    )
    if module._diff:
        header = "%s on %s" % ((before.get("identity") or {}).get("bios_name", "module").strip(), module.params["port"])
        result["diff"] = dict(
            before=before.get("before_text", ""),
            after=before.get("after_text", ""),
            before_header=header + " (as read)",
            after_header=header + " (as asked)",
        )
    if not result["changed"] or module.check_mode:
        module.exit_json(**result)

    args = write_arguments(module, config_file, keep)
    if not module.params["backup"]:
        args.append("--no-backup")
    if module.params["reason"]:
        args += ["--reason", module.params["reason"]]
    written = run_varnolink(module, args)
    after = written.result
    result.update(changed=bool(after.get("changed", False)))
    if after.get("backup"):
        result["backup_file"] = after["backup"]
    if written.rc != EXIT_DONE:
        module.fail_json(msg=written.failure_message(), rc=written.rc, stderr=written.stderr, **result)
    read_back = after.get("read_back") or {}
    result.update(config=read_back, remote_id=read_back.get("remote_id"))
    module.exit_json(**result)


if __name__ == "__main__":
    main()
