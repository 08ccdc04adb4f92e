"""Running one shard: the front end's part around the run (the workers' filter is in shard.py).

The front end snapshots the history into the run directory, so that every
worker (replacements too) partitions by the same durations even if the
history file changes meanwhile, and names the shard in the run
specification's "shard" key, which the controller ignores. Each worker
deselects the other shards' tests and writes the plan it computed to
``shard.json`` in the run directory; the front end shows it under the
collection line and, after the run, saves the durations it measured in a
shard file beside the history (``history.shard_file_path``).
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any, Dict, List, Optional

import pytest

from ..history import HistoryError, read_bytes, replace_file, shard_file_path, write_shard_file
from .replay import Replay
from ..shard import (
    PLAN_FILE,
    ShardChoice,
    ShardFilter,
    ci_variable_names,
    describe,
    parse_shard,
    plan_from_record,
    usable,
)

HISTORY_SNAPSHOT = "shard-history.json"


class ShardListing(ShardFilter):
    """``--collect-only`` with a shard: this process lists the tests the shard would run."""

    def __init__(self, choice: ShardChoice) -> None:
        super().__init__(choice.index, choice.total, None, "file", "file", None)

    @classmethod
    def from_config(cls, config: pytest.Config) -> Optional["ShardListing"]:
        value = config.getoption("aurvane_shard", None)
        choice = parse_shard(value) if value is not None else None
        return cls(choice) if choice is not None else None

    @pytest.hookimpl(trylast=True)
    def pytest_collection_modifyitems(self, config: pytest.Config, items: List[pytest.Item]) -> None:
        """Splits by the history and schedule a run would use."""
        from ..options import history_path_given
        from .rundir import state_dir

        # As the run specification would say.
        chosen_schedule = config.getoption("aurvane_schedule")
        self.schedule = "test" if chosen_schedule == "test" else "file"
        self.grouping = "file" if chosen_schedule == "file" else "fixtures"
        if not config.getoption("aurvane_no_history"):
            self.history_path = str(history_path_given(config) or state_dir(config) / "durations.json")
        super().pytest_collection_modifyitems(config, items)


class ShardReplay(Replay):
    """The replay of a shard's run: the plan under the collection line, and the measured durations."""

    def __init__(self, config: pytest.Config, session: Any, run_dir: Path, choice: ShardChoice) -> None:
        super().__init__(config, session, run_dir)
        self.choice = choice
        self.measured: Dict[str, float] = {}
        self.plan: Optional[dict] = None

    def _on_collection(self, record: dict) -> None:
        super()._on_collection(record)
        try:
            self.plan = json.loads((Path(self.run_dir) / PLAN_FILE).read_text(encoding="utf-8"))
        except (OSError, ValueError):
            self.problem("the workers wrote no shard plan")
            return
        if not self.choice.source.startswith("--"):
            self.line(f"aurvane: shard {self.choice.index}/{self.choice.total} from {self.choice.source}")
        for text in describe(plan_from_record(self.plan), self.choice.index - 1):
            self.line(f"aurvane: {text}")

    def _on_finish(self, record: dict) -> None:
        super()._on_finish(record)
        nodeid, duration = record.get("nodeid"), record.get("duration")
        if isinstance(nodeid, str) and usable(duration):
            self.measured[nodeid] = float(duration)


class ShardSession:
    """The front end's part in a run given --aurvane-shard."""

    def __init__(self, choice: Optional[ShardChoice], asked: str) -> None:
        self.choice = choice
        self.asked = asked
        self.replay: Optional[ShardReplay] = None
        self.history_path: Optional[Path] = None

    @classmethod
    def from_config(cls, config: pytest.Config) -> Optional["ShardSession"]:
        value = config.getoption("aurvane_shard", None)
        if value is None:
            return None
        return cls(parse_shard(value), value)

    def make_replay(self, config: pytest.Config, session: Any, run_dir: Path) -> Replay:
        if self.choice is None:
            replay = Replay(config, session, run_dir)
            replay.line(f"aurvane: --aurvane-shard={self.asked}: no CI job index set ({ci_variable_names()}); running every test")
            return replay
        self.replay = ShardReplay(config, session, run_dir, self.choice)
        return self.replay

    def prepare(self, spec: dict, run_dir: Path, history_path: Path) -> None:
        """Names the shard in the run specification and snapshots the history the workers partition by.

        The controller orders the run by that snapshot and saves its
        durations back into it, never into the history: the history defines
        the split, so a shard's run must leave it as it is for shards run one
        after another in one checkout to split alike. The durations the
        shard measured go to its shard file beside the history (``finish``),
        which the merge takes.
        """
        if self.choice is None:
            spec["shard"] = None
            return
        for name in (PLAN_FILE, HISTORY_SNAPSHOT):
            (run_dir / name).unlink(missing_ok=True)
        snapshot: Optional[str] = None
        if spec["history"]:
            self.history_path = history_path
            try:
                data: Optional[bytes] = read_bytes(str(history_path))
            except FileNotFoundError:
                data = None  # no history yet: the split goes by test count
            except (OSError, HistoryError) as exc:
                data = None
                if self.replay is not None:
                    self.replay.warning(f"Duration history ignored: {exc}")
            if data is not None:
                replace_file(str(run_dir / HISTORY_SNAPSHOT), data)
                snapshot = str(run_dir / HISTORY_SNAPSHOT)
            spec["history_path"] = str(run_dir / HISTORY_SNAPSHOT)
        spec["shard"] = {"index": self.choice.index, "total": self.choice.total, "history": snapshot}

    def finish(self, code: int) -> int:
        """Saves the shard's durations; a shard left with no tests of a suite that has some passes."""
        replay, plan = self.replay, self.replay.plan if self.replay else None
        if replay is None or plan is None:
            return code
        if code in (0, 1) and self.history_path is not None:
            path = shard_file_path(str(self.history_path), self.choice.index, self.choice.total)
            try:
                write_shard_file(path, self.choice.index, self.choice.total, replay.measured, plan.get("collected", []))
            except OSError as exc:
                replay.problem(f"cannot save the shard's durations to {path}: {exc}")
        if code == int(pytest.ExitCode.NO_TESTS_COLLECTED) and plan.get("collected"):
            replay.line(f"aurvane: shard {self.choice.index}/{self.choice.total} has no tests: more shards than groups of tests")
            return int(pytest.ExitCode.OK)
        return code
