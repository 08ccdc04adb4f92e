"""--ff and --nf under the controller, which orders a run longest group first by the duration history.

The workers collect in the order pytest's cache plugin chose, but the
controller reorders by expected duration. For such a run the front end
hands the controller a history of its own in the run directory, in which
the last failures (--ff) cost more than any test, or the tests pytest has
not seen before (--nf, which the controller prices at 1 s) cost more than
every known one, whose durations are scaled below that; among themselves
tests keep their order by duration. After the run, what the controller
measured goes back into the real history.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any, Callable


# Cost of a last failure under --ff: more than any real run's durations add up to.
_FIRST = 1e9
# Under --nf, known tests cost below the 1 s the controller gives a test it has no duration for.
_KNOWN_BELOW = 0.5
# Where the run's own history goes in the run directory: a name of its own,
# so that a real history kept there (durations.json) is never taken for it.
RUN_HISTORY = "ordering.json"


def wants_own_order(config: Any) -> bool:
    return bool(config.getoption("failedfirst", False) or config.getoption("newfirst", False))


def _read(path: Path, warn: Callable[[str], None]) -> dict[str, float]:
    """The history at `path`, or nothing (with a warning) when it is there but unusable."""
    # Imported here: ``python -m pytest_aurvane.history`` must not find the
    # module imported already by the package.
    from ..history import HistoryError, read_history

    try:
        return read_history(str(path))
    except FileNotFoundError:
        return {}
    except HistoryError as exc:
        warn(f"Duration history ignored: {exc}")
    except OSError as exc:
        warn(f"Duration history ignored: cannot read {path}: {exc.strerror or exc}")
    return {}


def write_run_history(
    config: Any, real: Path, run: Path, use_history: bool, warn: Callable[[str], None]
) -> dict[str, float]:
    """Writes the history the controller orders this run by; returns what was written."""
    durations = _read(real, warn) if use_history else {}
    if config.getoption("newfirst", False) and config.cache is not None:
        top = max((v for v in durations.values() if v > 0), default=1.0)
        durations = {nodeid: _KNOWN_BELOW * v / top for nodeid, v in durations.items()}
        known = config.cache.get("cache/nodeids", [])
        for nodeid in known if isinstance(known, list) else []:
            durations.setdefault(str(nodeid), _KNOWN_BELOW / 2)
    if config.getoption("failedfirst", False) and config.cache is not None:
        failed = config.cache.get("cache/lastfailed", {})
        for nodeid in failed if isinstance(failed, dict) else {}:
            durations[nodeid] = _FIRST + durations.get(nodeid, 0.0)
    from ..history import replace_file

    # The run directory's own file: whatever is at its name is replaced.
    replace_file(str(run), json.dumps(durations, separators=(",", ":"), ensure_ascii=False).encode("utf-8"))
    return durations


def merge_measurements(real: Path, run: Path, written: dict[str, float], warn: Callable[[str], None]) -> None:
    """Copies into the real history what the controller measured in this run (entries it changed or added)."""
    from ..history import HistoryError, write_history

    after = _read(run, warn)
    measured = {k: v for k, v in after.items() if written.get(k) != v}
    if not measured:
        return
    durations = _read(real, lambda message: None)  # said once already, before the run
    durations.update(measured)
    try:
        write_history(str(real), durations)
    except HistoryError as exc:
        warn(f"Duration history not saved: {exc}")
    except OSError as exc:
        warn(f"Duration history not saved: cannot write {real}: {exc.strerror or exc}")
