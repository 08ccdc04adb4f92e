"""pytest-xdist's plugin contract on the front end: a node object per worker.

Plugins written for ``-n`` expect the controller process to call
``pytest_configure_node(node)`` before a worker starts, so that they can put
what their worker half needs into ``node.workerinput``, and
``pytest_testnodedown(node, error)`` when it ends, with what the worker half
left in its ``config.workeroutput``. The workers here are started by
aurvane-controller, so the front end calls the first hook for every worker
the run may start (replacements included) before the run, hands the
results to the workers in the run specification, and calls the second hook
for every worker that started, after the run, from the event log.
"""

from __future__ import annotations

import platform
import sys
from types import SimpleNamespace
from typing import Any, Iterable, Optional

import pytest

from . import hookspecs

# Replacement workers given a node of their own before the run; any later
# one reuses the last of these with its own name.
MAX_PLANNED_REPLACEMENTS = 64


def declare_hooks(pluginmanager: Any) -> None:
    """Declares pytest-xdist's node hooks unless pytest-xdist has."""
    caller = getattr(pluginmanager.hook, "pytest_configure_node", None)
    if caller is None or caller.spec is None:
        pluginmanager.add_hookspecs(hookspecs)


def worker_name(number: int) -> str:
    return f"av{number}"


class Gateway:
    """What plugins read of an execnet gateway: its id, its spec and the remote interpreter's facts."""

    def __init__(self, name: str, python: str) -> None:
        self.id = name
        self.spec = SimpleNamespace(popen=True, chdir=None, python=python, id=name, via=None, env={})

    def _rinfo(self) -> Any:
        return SimpleNamespace(
            platform=sys.platform,
            version_info=tuple(sys.version_info),
            executable=self.spec.python,
            cwd=None,
        )


class WorkerNode:
    """One worker as pytest-xdist's controller presents it to plugins."""

    def __init__(self, config: pytest.Config, manager: Any, name: str) -> None:
        self.config = config
        self.nodemanager = manager
        self.gateway = Gateway(name, manager.python)
        self.workerinput: dict[str, Any] = {
            "workerid": name,
            "workercount": len(manager.specs),
            "testrunuid": manager.testrunuid,
            "mainargv": list(sys.argv),
        }
        self.workerinfo: dict[str, Any] = {
            "version": sys.version,
            "version_info": tuple(sys.version_info),
            "sysplatform": sys.platform,
            "platform": platform.platform(),
            "executable": manager.python,
            "id": name,
            "spec": self.gateway.spec,
        }
        self.shutting_down = False

    def __repr__(self) -> str:
        return f"<WorkerNode {self.gateway.id}>"


class Nodes:
    """The run's worker nodes, from before the run to after it."""

    def __init__(self, config: pytest.Config, workers: int, max_restarts: int, run_id: str, python: str) -> None:
        self.config = config
        self.workers = workers
        self.planned = workers + min(max_restarts, MAX_PLANNED_REPLACEMENTS)
        self.roots: list[Any] = []
        self.testrunuid = run_id
        self.python = python
        self.specs = [SimpleNamespace(popen=True, chdir=None, python=python, id=worker_name(n)) for n in range(workers)]
        self.nodes: dict[str, WorkerNode] = {}
        self.down: set[str] = set()

    def configure(self) -> dict[str, dict[str, Any]]:
        """Calls pytest_configure_node for every worker the run may start; their workerinput by name."""
        hook = self.config.hook
        hook.pytest_xdist_setupnodes(config=self.config, specs=self.specs)
        for number in range(self.planned):
            node = WorkerNode(self.config, self, worker_name(number))
            hook.pytest_configure_node(node=node)
            self.nodes[node.gateway.id] = node
        return {name: node.workerinput for name, node in self.nodes.items()}

    def node(self, name: str) -> WorkerNode:
        found = self.nodes.get(name)
        if found is None:
            # A replacement beyond the planned ones: the worker reads the
            # last planned workerinput with its own name, and so does its node.
            last = self.nodes[worker_name(self.planned - 1)]
            found = WorkerNode(self.config, self, name)
            found.workerinput = dict(last.workerinput, workerid=name)
            self.nodes[name] = found
        return found

    def ready(self, manifests: Iterable[tuple[str, list[str]]]) -> None:
        """Workers that collected: pytest_xdist_node_collection_finished and pytest_testnodeready."""
        for name, ids in manifests:
            node = self.node(name)
            self.config.hook.pytest_xdist_node_collection_finished(node=node, ids=ids)
            self.config.hook.pytest_testnodeready(node=node)

    def finish(self, started: Iterable[str], outputs: dict[str, Any], errors: dict[str, str]) -> None:
        """pytest_testnodedown for every worker that started, once each.

        A worker that ended cleanly brings its ``workeroutput``; one that did
        not gets the reason it failed as ``error``, as pytest-xdist gives a
        worker that died.
        """
        for name in started:
            if name in self.down:
                continue
            self.down.add(name)
            node = self.node(name)
            node.shutting_down = True
            error: Optional[str] = None
            if name in outputs and isinstance(outputs[name], dict):
                node.workeroutput = outputs[name]
            else:
                error = errors.get(name) or f"{name} ended without its output"
            self.config.hook.pytest_testnodedown(node=node, error=error)
