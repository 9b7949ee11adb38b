#!/usr/bin/python3
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT
"""Ansible module: the identity and configuration of the module on one port."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: varnolink_info
short_description: Read the identity and configuration of one VARNOLINK I/O module
version_added: "1.0.0"
description:
  - Reads the module on I(port) with C(varnolink read) and returns its
    identity, Remote ID and configuration. Writes nothing.
extends_documentation_fragment:
  - varnolink.plant.varnolink
  - varnolink.plant.varnolink.line
author:
  - VARNOLINK I/O setup developers
"""

EXAMPLES = r"""
- name: What answers on the cabinet's adapter
  varnolink.plant.varnolink_info:
    port: ttyUSB0
  register: module

- ansible.builtin.debug:
    msg: "{{ module.identity.bios_name }} {{ module.identity.bios_version }}, ID {{ module.remote_id }}"
"""

RETURN = r"""
identity:
  description: The module's BIOS name and version.
  returned: success
  type: dict
  sample: {"bios_name": "VARNOLINK I/O", "bios_version": "1.00a"}
remote_id:
  description: The module's Remote ID.
  returned: success
  type: str
  sample: "01"
config:
  description: The module's configuration (Remote ID, baud, direction and power-on default of each port).
  returned: success
  type: dict
"""

from ansible_collections.varnolink.plant.plugins.module_utils.varnolink_cli import (
    EXIT_DONE,
    line_arguments,
    port_argument_spec,
    run_varnolink,
    varnolink_module,
)


def main():
    module = varnolink_module(port_argument_spec())
    run = run_varnolink(module, ["read", "-p", module.params["port"]] + line_arguments(module.params))
    if run.rc != EXIT_DONE:
        module.fail_json(msg=run.failure_message(), rc=run.rc, stderr=run.stderr)
    config = run.result.get("config") or {}
    module.exit_json(
        changed=False, identity=run.result.get("identity"), remote_id=config.get("remote_id"), config=config
    )


if __name__ == "__main__":
    main()
