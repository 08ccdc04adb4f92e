"""Splitting a suite across CI jobs: shard K of N, balanced by the duration history.

Every job computes the same partition from the same collection and the same
history file, with no coordination: groups of tests that must stay together
(a file's tests under the "file" schedule, an ``xdist_group``) are dealt out
longest first, each to the shard with the least estimated time so far. Tests
without history count as the mean of the known ones; with no history at all
every test counts as one, which splits by test count. Ties go by node id, so
neither the collection order nor the worker count changes the result.

The workers apply the partition (``ShardFilter``: they deselect
what is not theirs, so the manifest the controller agrees on is the
shard's); the controller knows nothing of shards.
"""

import heapq
import json
import math
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import pytest

from .grouping import item_group
from .history import HistoryError, read_history, replace_file

# Job index and count variables of CI systems, and the number of their first job.
CI_VARIABLES = (
    ("GitLab", "CI_NODE_INDEX", "CI_NODE_TOTAL", 1),
    ("CircleCI", "CIRCLE_NODE_INDEX", "CIRCLE_NODE_TOTAL", 0),
    ("Buildkite", "BUILDKITE_PARALLEL_JOB", "BUILDKITE_PARALLEL_JOB_COUNT", 0),
)

# The split keeps a table per shard; CI systems run a few hundred jobs at most.
MAX_SHARDS = 10_000


@dataclass(frozen=True)
class ShardChoice:
    """Shard ``index`` (from 1) of ``total``, and where that choice came from."""

    index: int
    total: int
    source: str


def parse_shard(value: str, environ: Mapping[str, str] = os.environ) -> Optional[ShardChoice]:
    """``K/N`` or ``auto``; None for ``auto`` outside a parallel CI job (run everything)."""
    if value == "auto":
        return from_ci(environ)
    index, slash, total = value.partition("/")
    try:
        k, n = int(index), int(total)
    except ValueError:
        k = n = 0
    if not slash or not 1 <= k <= n:
        raise pytest.UsageError(f"--aurvane-shard expects K/N with 1 <= K <= N, or auto, not {value!r}")
    if n > MAX_SHARDS:
        raise pytest.UsageError(f"--aurvane-shard: at most {MAX_SHARDS} shards, not {n}")
    return ShardChoice(k, n, f"--aurvane-shard={k}/{n}")


def from_ci(environ: Mapping[str, str]) -> Optional[ShardChoice]:
    """The job's shard from the first CI system whose job index variable is set."""
    for system, index_name, total_name, first in CI_VARIABLES:
        index_text = environ.get(index_name, "").strip()
        if not index_text:
            continue
        total_text = environ.get(total_name, "").strip()
        source = f"{index_name}={index_text}, {total_name}={total_text} ({system})"
        try:
            index, total = int(index_text) - first + 1, int(total_text)
        except ValueError:
            index = total = 0
        if not 1 <= index <= total:
            raise pytest.UsageError(f"--aurvane-shard=auto: {source} names no job of the run")
        if total > MAX_SHARDS:
            raise pytest.UsageError(f"--aurvane-shard=auto: {source}: at most {MAX_SHARDS} shards")
        return ShardChoice(index, total, source)
    return None


def ci_variable_names() -> str:
    return ", ".join(f"{index}/{total}" for _, index, total, _ in CI_VARIABLES)


@dataclass
class Plan:
    """The partition: each test's shard (from 0) and each shard's size."""

    total: int
    assignment: Dict[str, int]
    tests: List[int]
    seconds: List[float]
    # "duration" (history known for some tests) or "count" (none known).
    basis: str
    unknown: int = 0
    mean: float = 0.0
    groups: int = 0
    longest_group: float = 0.0


def usable(value: object) -> bool:
    """A history value that measures something: a finite number, not negative."""
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value) and value >= 0


def partition(entries: Sequence[Tuple[str, str]], history: Mapping[str, object], total: int) -> Plan:
    """Deals the groups of ``entries`` ((node id, group key) pairs) out to ``total`` shards.

    Deterministic for the same set of entries and history, whatever their order.
    """
    known = {nodeid: float(history[nodeid]) for nodeid, _ in entries if usable(history.get(nodeid))}
    if known:
        # fsum is exact, hence the same whatever order the values come in.
        mean = math.fsum(known.values()) / len(known)
        basis = "duration"
    else:
        mean = 1.0
        basis = "count"
    members: Dict[str, List[str]] = {}
    for nodeid, group in entries:
        members.setdefault(group, []).append(nodeid)
    groups = []
    for key, nodeids in members.items():
        cost = math.fsum(known.get(nodeid, mean) for nodeid in nodeids)
        groups.append((-cost, min(nodeids), key))
    groups.sort()
    # Each group goes to the shard with the least time so far; among equals,
    # the one with fewer tests (groups that cost nothing spread out), then the first.
    bins = [(0.0, 0, shard) for shard in range(total)]
    seconds = [0.0] * total
    tests = [0] * total
    assignment: Dict[str, int] = {}
    for negative_cost, _, key in groups:
        _, _, shard = heapq.heappop(bins)
        seconds[shard] += -negative_cost
        tests[shard] += len(members[key])
        for nodeid in members[key]:
            assignment[nodeid] = shard
        heapq.heappush(bins, (seconds[shard], tests[shard], shard))
    return Plan(
        total=total,
        assignment=assignment,
        tests=tests,
        seconds=seconds,
        basis=basis,
        unknown=len(entries) - len(known),
        mean=mean if known else 0.0,
        groups=len(groups),
        longest_group=-groups[0][0] if groups else 0.0,
    )


def describe(plan: Plan, shard: int) -> List[str]:
    """Header lines: which shard runs, and every shard's tests and estimate."""
    k = shard + 1
    lines = []
    if plan.basis == "duration":
        line = f"shard {k}/{plan.total}: {plan.tests[shard]} tests, estimated {plan.seconds[shard]:.1f}s"
        if plan.unknown:
            line += f" ({plan.unknown} tests without history counted at the mean, {plan.mean:.3f}s)"
        lines.append(line)
        lines.append(
            "shards (tests, estimated seconds): "
            + ", ".join(f"{i + 1}: {plan.tests[i]}, {plan.seconds[i]:.1f}s" for i in range(plan.total))
        )
    else:
        lines.append(f"shard {k}/{plan.total}: {plan.tests[shard]} tests (no duration history: split by test count)")
        lines.append("shards (tests): " + ", ".join(f"{i + 1}: {plan.tests[i]}" for i in range(plan.total)))
    return lines


def plan_from_record(record: Mapping[str, object]) -> Plan:
    """The summary part of a plan as the workers wrote it (no assignment)."""
    tests = [int(n) for n in record.get("tests", [])]  # type: ignore[union-attr]
    return Plan(
        total=int(record.get("total", len(tests))),  # type: ignore[arg-type]
        assignment={},
        tests=tests,
        seconds=[float(s) for s in record.get("seconds", [])],  # type: ignore[union-attr]
        basis=str(record.get("basis", "count")),
        unknown=int(record.get("unknown", 0)),  # type: ignore[arg-type]
        mean=float(record.get("mean", 0.0)),  # type: ignore[arg-type]
    )


# -- the filter, in the workers (and in a front end listing a shard's tests) --

PLAN_FILE = "shard.json"


def load_history(path: Optional[str]) -> Dict[str, float]:
    """The history file as the controller reads it: nothing when unreadable."""
    if not path:
        return {}
    try:
        return read_history(path)
    except (OSError, HistoryError):
        return {}


def shard_key(item: pytest.Item, schedule: str, grouping: str) -> str:
    """The group an item must share a shard with: its group on the workers
    under the "file" schedule (a file, or what its fixtures hold together),
    an ``xdist_group`` under any schedule, else the test alone."""
    if schedule == "file":
        return item_group(item, grouping)
    mark = item.get_closest_marker("xdist_group")
    if mark is not None:
        name = str(mark.args[0]) if mark.args else str(mark.kwargs.get("name", "default"))
        return "xdist_group\0" + name
    return "test\0" + item.nodeid


class ShardFilter:
    """Worker plugin: keeps the shard's tests of the collection, deselects the rest."""

    def __init__(
        self, index: int, total: int, history_path: Optional[str], schedule: str, grouping: str, run_dir: Optional[str]
    ):
        self.shard = index - 1
        self.total = total
        self.history_path = history_path
        self.schedule = schedule
        self.grouping = grouping
        self.run_dir = run_dir

    @pytest.hookimpl(trylast=True)
    def pytest_collection_modifyitems(self, config: pytest.Config, items: List[pytest.Item]) -> None:
        """Runs after every other selection (-k, -m, --lf): shards split what would run."""
        entries = [(item.nodeid, shard_key(item, self.schedule, self.grouping)) for item in items]
        plan = partition(entries, load_history(self.history_path), self.total)
        mine = [item for item in items if plan.assignment[item.nodeid] == self.shard]
        others = [item for item in items if plan.assignment[item.nodeid] != self.shard]
        if others:
            config.hook.pytest_deselected(items=others)
        items[:] = mine
        if self.run_dir:
            self._write_plan(Path(self.run_dir) / PLAN_FILE, plan, [nodeid for nodeid, _ in entries])

    def _write_plan(self, path: Path, plan: Any, collected: List[str]) -> None:
        if path.exists():
            return  # every worker computes the same plan; one copy will do
        record = {
            "shard": self.shard + 1,
            "total": self.total,
            "basis": plan.basis,
            "tests": plan.tests,
            "seconds": plan.seconds,
            "unknown": plan.unknown,
            "mean": plan.mean,
            "collected": collected,
        }
        replace_file(str(path), json.dumps(record, ensure_ascii=False).encode("utf-8"))


def worker_plugins(spec: Any) -> list:
    """The worker's shard filter when the run specification names a shard."""
    entry = spec.get("shard") if isinstance(spec, dict) else None
    if entry is None:
        return []
    index = entry.get("index") if isinstance(entry, dict) else None
    total = entry.get("total") if isinstance(entry, dict) else None
    if not (isinstance(index, int) and isinstance(total, int) and 1 <= index <= total):
        raise ValueError(f"shard in the run specification must name shard K of N: {json.dumps(entry)}")
    history = entry.get("history")
    history_path = history if isinstance(history, str) else None
    grouping = str(spec.get("grouping", "file"))
    return [ShardFilter(index, total, history_path, str(spec.get("schedule")), grouping, spec.get("run_dir"))]
