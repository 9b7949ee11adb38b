# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT
"""Option documentation the collection's modules share."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    # Every module: the program it runs; each has a full check mode.
    DOCUMENTATION = r"""
options:
  executable:
    description: The varnolink program on the managed host.
    type: path
    default: varnolink
attributes:
  check_mode:
    support: full
"""

    # Modules on one module's port: the port, how to talk on it and the bound
    # of the one varnolink run.
    LINE = r"""
options:
  port:
    description:
      - The port, any name varnolink accepts, for example C(/dev/ttyUSB0),
        C(ttyUSB0), C(rfc2217://HOST:PORT) or C(socket://HOST:PORT).
    type: str
    required: true
  timeout:
    description: Seconds the whole varnolink run may take before it is stopped.
    type: int
    default: 120
  line_speed:
    description: Talk to the module at this rate instead of 9600 baud.
    type: int
  rs485:
    description: The kernel's RS-485 mode for the run, as C(varnolink --rs485) takes it.
    type: str
"""
