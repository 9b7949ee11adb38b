# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT
"""Runs the varnolink command line with --json for the modules of this
collection: one place that builds the arguments, bounds the run in time and
turns the command's JSON into results and plain failure messages."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os
import signal
import subprocess

from ansible.module_utils.basic import AnsibleModule

# varnolink's documented exit codes.
EXIT_DONE = 0
EXIT_USAGE_OR_FILE = 1
EXIT_PORT = 2
EXIT_NO_REPLY = 3
EXIT_DIFFERS = 4

# The most output read from one run (a plant of thousands of rows fits).
OUTPUT_LIMIT = 64 * 1024 * 1024


def common_argument_spec(**own):
    """Options every module of the collection takes, with the module's own
    (which may replace them, as a longer timeout)."""
    options = dict(
        executable=dict(type="path", default="varnolink"),
        timeout=dict(type="int", default=120),
    )
    options.update(own)
    return options


def port_argument_spec(**own):
    """The options of a module on one module's port, with its own."""
    return common_argument_spec(
        port=dict(type="str", required=True),
        line_speed=dict(type="int"),
        rs485=dict(type="str"),
        **own
    )


def varnolink_module(argument_spec, **checks):
    """The module's AnsibleModule: every module of the collection has a full
    check mode."""
    return AnsibleModule(argument_spec=argument_spec, supports_check_mode=True, **checks)


def line_arguments(params):
    """--line-speed and --rs485 as the command line takes them."""
    args = []
    if params.get("line_speed") is not None:
        args += ["--line-speed", str(params["line_speed"])]
    if params.get("rs485"):
        args += ["--rs485", params["rs485"]]
    return args


class VarnolinkRun(object):
    """The outcome of one varnolink run: exit code, parsed JSON and stderr."""

    def __init__(self, rc, result, stderr):
        self.rc = rc
        self.result = result
        self.stderr = stderr

    @property
    def ok(self):
        return self.rc == EXIT_DONE

    def failure_message(self):
        """The command's own error message and advice, then what a write
        left behind on the module, in plain words."""
        error = self.result.get("error") or {}
        parts = []
        if isinstance(error, dict):
            parts += [error.get("message"), error.get("advice")]
        elif error:
            parts.append(str(error))
        held = held_text(self.result)
        if held:
            parts.append(held)
        text = "; ".join(p for p in parts if p)
        if not text:
            lines = [l for l in self.stderr.splitlines() if l.strip()]
            text = lines[0] if lines else "varnolink ended with exit code %d" % self.rc
        return text


def held_text(result):
    """What the module holds after a write that ended early: written, sent
    but not confirmed, not sent. Empty when the command wrote nothing."""
    if "written" not in result:
        return ""
    written = result.get("written") or []
    unconfirmed = result.get("unconfirmed")
    not_sent = result.get("not_sent") or []
    if not written and not unconfirmed and not not_sent:
        return "nothing was written"
    parts = ["written: " + (", ".join(written) if written else "nothing")]
    if unconfirmed:
        parts.append("sent, not confirmed: " + unconfirmed)
    if not_sent:
        parts.append("not sent: " + ", ".join(not_sent))
    return "; ".join(parts)


def run_varnolink(module, args):
    """Runs varnolink --json ARGS within the module's timeout. A run that
    cannot start, overruns or prints no JSON fails the task with a message;
    otherwise the run is returned whatever its exit code."""
    executable = module.params["executable"]
    if os.sep not in executable:
        executable = module.get_bin_path(executable, required=True)
    command = [executable, "--json"] + args
    try:
        process = subprocess.Popen(
            command,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            start_new_session=True,
        )
    except OSError as error:
        module.fail_json(msg="cannot start %s: %s" % (executable, error), cmd=command)
    try:
        out, err = process.communicate(timeout=module.params["timeout"])
    except subprocess.TimeoutExpired:
        # SIGINT first: varnolink ends the request on the line and reports
        # what the module holds; then it is made to go.
        os.killpg(process.pid, signal.SIGINT)
        try:
            out, err = process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            out, err = process.communicate()
        result = parse_json(out)
        module.fail_json(
            msg="varnolink did not end within %d s and was stopped; %s"
            % (module.params["timeout"], held_text(result) or "see stderr"),
            cmd=command,
            stderr=err.decode("utf-8", "replace"),
            result=result,
        )
    stderr = err.decode("utf-8", "replace")
    result = parse_json(out)
    if not result:
        module.fail_json(
            msg="varnolink printed no result (exit code %d): %s"
            % (process.returncode, stderr.strip().splitlines()[0] if stderr.strip() else "no message"),
            cmd=command,
            rc=process.returncode,
            stderr=stderr,
        )
    return VarnolinkRun(process.returncode, result, stderr)


def parse_json(out):
    """The command's one JSON object, or an empty dict."""
    if len(out) > OUTPUT_LIMIT:
        return {}
    try:
        value = json.loads(out.decode("utf-8", "replace"))
    except ValueError:
        return {}
    return value if isinstance(value, dict) else {}
