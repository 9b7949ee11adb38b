# SPDX-License-Identifier: MIT
# A stdout callback for the tests: every task result of every host, printed
# as one JSON object at the end of the run (ansible-core ships no such
# callback of its own).
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

from ansible.plugins.callback import CallbackBase

DOCUMENTATION = """
name: results_json
type: stdout
short_description: every task result as one JSON object
description: Prints the plays, their tasks and each host's result as one JSON object at the end.
"""


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "stdout"
    CALLBACK_NAME = "results_json"

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.plays = []

    def v2_playbook_on_play_start(self, play):
        self.plays.append({"name": play.get_name(), "tasks": []})

    def v2_playbook_on_task_start(self, task, is_conditional):
        self.plays[-1]["tasks"].append({"name": task.get_name(), "hosts": {}})

    def record(self, result, **extra):
        value = dict(result._result)
        value.update(extra)
        self.plays[-1]["tasks"][-1]["hosts"][result._host.get_name()] = value

    def v2_runner_on_ok(self, result, **kwargs):
        self.record(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self.record(result, failed=True)

    def v2_runner_on_unreachable(self, result):
        self.record(result, unreachable=True)

    def v2_runner_on_skipped(self, result):
        self.record(result, skipped=True)

    def v2_playbook_on_stats(self, stats):
        self._display.display(json.dumps({"plays": self.plays}))
