"""The package's layout: each process loads only its own modules, and no module imports back."""

import ast
import json
import sys
from pathlib import Path

import pytest

from conftest import run_pytest, write_suite

PACKAGE = Path(__file__).resolve().parents[2] / "python" / "pytest_aurvane"

# Everything a worker may load, a worker forked from a fork server too; the
# front end's modules (frontend/, fork/launch.py, fork/from_front_end.py,
# report/) stay out: they would cost every worker's start and tie the two
# ends together.
WORKER_MODULES = {
    "pytest_aurvane",
    "pytest_aurvane.fork",
    "pytest_aurvane.fork.client",
    "pytest_aurvane.fork.server",
    "pytest_aurvane.grouping",
    "pytest_aurvane.history",
    "pytest_aurvane.options",
    "pytest_aurvane.reports",
    "pytest_aurvane.shard",
    "pytest_aurvane.worker",
    "pytest_aurvane.worker.channel",
    "pytest_aurvane.worker.plugin",
}

MODULES_SEEN = """
    import json, os, sys

    def test_modules():
        loaded = sorted(name for name in sys.modules if name.startswith("pytest_aurvane"))
        with open(os.path.join(os.path.dirname(__file__), "modules-" + os.environ["AURVANE_WORKER"]), "w") as f:
            json.dump(loaded, f)
"""


@pytest.mark.parametrize(
    "start",
    [(), ("--aurvane-fork", f"--aurvane-python={sys.executable}")],
    ids=["started", "forked-from-a-server-started-afresh"],
)
def test_a_worker_loads_only_the_workers_modules(tmp_path, real_controller, start):
    suite = write_suite(tmp_path, {"test_modules.py": MODULES_SEEN})
    result = run_pytest(suite, "--aurvane=1", "--aurvane-run-dir=run", *start, controller=real_controller)
    assert result.returncode == 0, result.stdout
    if start:
        assert "no fork server" not in result.stdout
        assert (suite / "run" / "fork-server.log").exists(), "the workers were not forked from a server"
    loaded = set(json.loads((suite / "modules-av0").read_text()))
    assert loaded <= WORKER_MODULES, sorted(loaded - WORKER_MODULES)
    assert "pytest_aurvane.worker.plugin" in loaded


def _module_name(path: Path) -> str:
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def _imports(path: Path, name: str) -> set:
    """The package's modules `path` imports, deferred imports included (a package's own __init__ not)."""
    is_package = path.name == "__init__.py"
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.ImportFrom):
            if node.level:
                base = name.split(".")
                base = base[: len(base) - node.level + (1 if is_package else 0)]
                target = ".".join(base + ([node.module] if node.module else []))
            else:
                target = node.module or ""
            if target.split(".")[0] != "pytest_aurvane":
                continue
            for alias in node.names:
                sub = f"{target}.{alias.name}"
                found.add(sub if _module_file(sub) is not None else target)
        elif isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names if alias.name.split(".")[0] == "pytest_aurvane")
    found.discard(name)
    return found


def _module_file(name: str):
    relative = Path(*name.split("."))
    for candidate in (PACKAGE.parent / relative.with_suffix(".py"), PACKAGE.parent / relative / "__init__.py"):
        if candidate.is_file():
            return candidate
    return None


def test_no_module_imports_one_that_imports_it_back():
    graph = {_module_name(path): _imports(path, _module_name(path)) for path in PACKAGE.rglob("*.py")}
    assert "pytest_aurvane.worker.plugin" in graph and graph["pytest_aurvane.worker.plugin"]
    for name, targets in graph.items():
        assert all(target in graph for target in targets), (name, targets - graph.keys())
    # Depth-first search: a module met again on the current path closes a cycle.
    done, path = set(), []

    def visit(name):
        if name in path:
            raise AssertionError("import cycle: " + " -> ".join(path[path.index(name):] + [name]))
        if name in done:
            return
        path.append(name)
        for target in sorted(graph[name]):
            visit(target)
        path.pop()
        done.add(name)

    for name in sorted(graph):
        visit(name)


def test_no_module_imports_private_names_of_another():
    for path in PACKAGE.rglob("*.py"):
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.ImportFrom) and (node.level or (node.module or "").startswith("pytest_aurvane")):
                private = [alias.name for alias in node.names if alias.name.startswith("_")]
                assert not private, f"{path.relative_to(PACKAGE)} imports {private} from {node.module}"
