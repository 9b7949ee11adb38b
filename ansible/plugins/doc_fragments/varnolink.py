# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT
"""Option documentation the collection's modules share."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    # Every module: the program it runs.
    DOCUMENTATION = r"""
options:
  executable:
    description: The varnolink program on the managed host.
    type: path
    default: varnolink
"""

    # Modules that talk to one port themselves.
    LINE = r"""
options:
  line_speed:
    description: Talk to the module at this rate instead of 9600 baud.
    type: int
  rs485:
    description: The kernel's RS-485 mode for the run, as C(varnolink --rs485) takes it.
    type: str
"""
