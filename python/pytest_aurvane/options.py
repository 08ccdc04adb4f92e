"""The front end's command-line options, their checks, and the run specification built from them."""

from __future__ import annotations

import os
import sys
from pathlib import Path
from typing import Any, Optional, Sequence

import pytest

DEFAULT_PHASE_TIMEOUT = 300.0
DEFAULT_STARTUP_TIMEOUT = 120.0
DEFAULT_SHUTDOWN_TIMEOUT = 30.0
# A test whose worker dies under it is a failure at once, as under -n: most
# such deaths are deterministic (a crash, os._exit), and running the test
# again would only pay another worker start, and another phase deadline for
# a hang.
DEFAULT_RETRIES = 0
# auto: tests that share a fixture wider than a test (module, class,
# package) or an xdist_group run on one worker, others each on their own;
# file: a file's tests on one worker; test: every test on its own.
SCHEDULES = ("auto", "file", "test")
# The controller counts retries and restarts in 32 bits.
MAX_COUNT = 2**32 - 1
# Longer deadlines overflow the workers' timers (nanoseconds in 64 bits) and
# mean no deadline anyway.
MAX_TIMEOUT = 365 * 24 * 3600.0

# The command-line options: flag, then what pytest's addoption takes besides
# the destination, which is the flag's name with underscores. Every one but
# --aurvane-no-history takes a value; the workers must not see any of them.
_OPTIONS: tuple[tuple[str, dict[str, Any]], ...] = (
    ("--aurvane", dict(metavar="N|auto", help="run the suite in N worker processes (auto: one per CPU this process "
                       "may run on) under aurvane-controller")),
    ("--aurvane-controller", dict(metavar="PATH", help="the aurvane-controller program (default: $AURVANE_CONTROLLER, "
                                  "then the one installed with this package, then PATH)")),
    ("--aurvane-python", dict(metavar="PATH", help="interpreter for the workers (default: this one)")),
    ("--aurvane-phase-timeout", dict(type=float, metavar="SECONDS", help="deadline for each setup, call and "
                                     f"teardown phase (default {DEFAULT_PHASE_TIMEOUT:g})")),
    ("--aurvane-startup-timeout", dict(type=float, metavar="SECONDS", help="deadline for a worker's start-up and "
                                       f"collection (default {DEFAULT_STARTUP_TIMEOUT:g})")),
    ("--aurvane-shutdown-timeout", dict(type=float, metavar="SECONDS", help="deadline for a worker's shutdown "
                                        f"(default {DEFAULT_SHUTDOWN_TIMEOUT:g})")),
    ("--aurvane-retries", dict(type=int, metavar="N", help="run a test again up to N times when its worker dies "
                               f"under it (default {DEFAULT_RETRIES})")),
    ("--aurvane-max-restarts", dict(type=int, metavar="N", help="replace at most N dead workers in the run "
                                    "(default: four times the worker count, at least 16)")),
    ("--aurvane-schedule", dict(choices=SCHEDULES, help="auto (default): tests sharing a module-, class- or "
                                "package-scoped fixture (or an xdist_group) run on one worker, the others each on "
                                "their own; file: a file's tests on one worker; test: each test on its own")),
    ("--aurvane-no-history", dict(action="store_true", default=False,
                                  help="do not order the run by the durations of earlier runs, nor save "
                                  "this run's (no history file, no shard file)")),
    ("--aurvane-no-gc-freeze", dict(action="store_true", default=False,
                                    help="let the workers' garbage collector keep walking what collection built "
                                    "(by default it is frozen once collection ends)")),
    ("--aurvane-fork", dict(action="store_true", default=False,
                            help="Linux: collect once in a fork server and fork every worker from it (for "
                            "plugins that do not take a worker's part while configuring)")),
    ("--aurvane-history-path", dict(metavar="PATH", help="duration history file (default: in pytest's cache "
                                    "directory)")),
    ("--aurvane-run-dir", dict(metavar="DIR", help="where the event log, summary and worker logs go (default: in "
                               "pytest's cache directory)")),
    ("--aurvane-report", dict(metavar="PATH", help="write an HTML report of the run to PATH at its end (a "
                              "timeline of every worker, the slowest tests, failures, crashes and hangs)")),
    ("--aurvane-no-progress", dict(action="store_true", default=False,
                                   help="no status line on a terminal, and no progress lines every 30 s elsewhere")),
    ("--aurvane-shard", dict(metavar="K/N|auto", help="run only shard K of N, split by the duration history (auto: "
                             "from the CI job's index and count variables)")),
)
_FLAG_OPTIONS = tuple(flag for flag, kwargs in _OPTIONS if kwargs.get("action") == "store_true")
_VALUE_OPTIONS = tuple(flag for flag, _ in _OPTIONS if flag not in _FLAG_OPTIONS)


def add_options(parser: pytest.Parser) -> None:
    group = parser.getgroup("aurvane", "parallel runs supervised by aurvane-controller")
    for flag, kwargs in _OPTIONS:
        group.addoption(flag, dest=flag[2:].replace("-", "_"), **{"default": None, **kwargs})
    for name, (kind, _, help_text) in INI_OPTIONS.items():
        parser.addini(name, help_text, type="bool" if kind is bool else None)



def pytest_addoption(parser: pytest.Parser) -> None:
    """Adds the --aurvane options, in the front end and in every worker (their command line and ini may name them)."""
    add_options(parser)


# Options that pytest.ini, pyproject.toml or tox.ini may set, under their
# destination's name; the command line wins. Kind, default, help.
INI_OPTIONS: dict[str, tuple[Any, Any, str]] = {
    "aurvane_controller": (str, None, "the aurvane-controller program"),
    "aurvane_python": (str, None, "interpreter for the workers"),
    "aurvane_phase_timeout": (float, DEFAULT_PHASE_TIMEOUT, "deadline in seconds for each test phase"),
    "aurvane_startup_timeout": (float, DEFAULT_STARTUP_TIMEOUT, "deadline in seconds for a worker's start-up"),
    "aurvane_shutdown_timeout": (float, DEFAULT_SHUTDOWN_TIMEOUT, "deadline in seconds for a worker's shutdown"),
    "aurvane_retries": (int, DEFAULT_RETRIES, "runs again of a test whose worker died under it"),
    "aurvane_max_restarts": (int, None, "replacements of dead workers in a run"),
    "aurvane_schedule": (SCHEDULES, "auto", "auto, file or test"),
    "aurvane_no_history": (bool, False, "do not order runs by earlier durations, nor save theirs"),
    "aurvane_no_gc_freeze": (bool, False, "do not freeze what the workers' collection built"),
    "aurvane_fork": (bool, False, "Linux: fork every worker from one process that has collected"),
    "aurvane_history_path": (Path, None, "duration history file, relative to the configuration file"),
    "aurvane_run_dir": (Path, None, "run directory, relative to the configuration file"),
    "aurvane_shard": (str, None, "K/N or auto: run only that shard"),
}


def apply_ini(config: pytest.Config) -> None:
    """Fills the options the command line left unset from the configuration file, then the defaults."""
    where = str(config.inipath) if config.inipath else "the configuration file"
    for name, (kind, default, _) in INI_OPTIONS.items():
        if kind is bool:
            try:
                on = config.getini(name)
            except ValueError as error:  # pytest says which value: the file's or -o's
                raise pytest.UsageError(f"{name} in {where} must be true or false: {error}") from None
            if on and not getattr(config.option, name, False):
                setattr(config.option, name, True)
            continue
        if getattr(config.option, name, None) is not None:
            continue
        raw = str(config.getini(name) or "").strip()
        value = default
        if raw:
            try:
                value = _ini_value(kind, raw, config)
            except ValueError:
                raise pytest.UsageError(f"{name} in {where} cannot be {raw!r}") from None
        setattr(config.option, name, value)


def _ini_value(kind: Any, raw: str, config: pytest.Config) -> Any:
    if kind is Path:
        base = config.inipath.parent if config.inipath else config.rootpath
        return str(base / raw)
    if isinstance(kind, tuple):
        if raw not in kind:
            raise ValueError(raw)
        return raw
    return kind(raw)


def check_without_run(config: pytest.Config) -> None:
    """Raises pytest.UsageError for a front-end option given on the command line of a run without --aurvane.

    Those of the configuration file and its addopts are the project's
    settings for the runs that ask for --aurvane.
    """
    if config.getoption("help", False) or config.getoption("version", False):
        return
    for arg in config.invocation_params.args:
        flag = str(arg).split("=", 1)[0]
        if flag in _FLAG_OPTIONS or flag in _VALUE_OPTIONS:
            raise pytest.UsageError(f"{flag} needs --aurvane: without it, pytest runs the tests itself")


def check_usage(config: pytest.Config) -> None:
    """Raises pytest.UsageError for options that cannot work with --aurvane."""
    if config.getoption("usepdb", False):
        raise pytest.UsageError("--aurvane cannot be combined with --pdb: tests run in other processes")
    if config.getoption("trace", False):
        raise pytest.UsageError("--aurvane cannot be combined with --trace: tests run in other processes")
    if config.getoption("stepwise", False) or config.getoption("stepwise_skip", False):
        # Tests finish side by side: several may fail before dispatch stops,
        # and the next run would resume after the last of them, skipping the
        # others.
        raise pytest.UsageError("--aurvane cannot be combined with --sw/--stepwise: tests run side by side")
    if getattr(config.option, "dist", "no") != "no" or getattr(config.option, "numprocesses", None):
        # Projects often put -n into addopts, where the user cannot leave it
        # out: say how to override it.
        raise pytest.UsageError(
            "--aurvane cannot be combined with pytest-xdist's -n/--dist (where addopts gives them, add "
            "-n 0 --dist no to the command line)"
        )
    if getattr(config.option, "looponfail", False):
        # pytest-xdist would run the whole session again in a process of its
        # own, with --aurvane, until the failures pass.
        raise pytest.UsageError("--aurvane cannot be combined with pytest-xdist's --looponfail/-f")
    for name in ("aurvane_phase_timeout", "aurvane_startup_timeout", "aurvane_shutdown_timeout"):
        seconds = config.getoption(name)
        if not 0 < seconds <= MAX_TIMEOUT:
            raise pytest.UsageError(
                f"--{name.replace('_', '-')} must be a positive number of seconds, at most {MAX_TIMEOUT:.0f} (a year), "
                f"not {seconds:g}"
            )
    for name in ("aurvane_retries", "aurvane_max_restarts"):
        count = config.getoption(name)
        if count is not None and not 0 <= count <= MAX_COUNT:
            raise pytest.UsageError(f"--{name.replace('_', '-')} must be a count from 0 to {MAX_COUNT}, not {count}")
    chosen = config.getoption("aurvane_run_dir")
    if chosen:
        check_run_dir(Path(config.invocation_params.dir, chosen))
    if config.getoption("aurvane_fork", False):
        if not sys.platform.startswith("linux"):
            raise pytest.UsageError("--aurvane-fork works on Linux only")
        if getattr(config.option, "cov_source", None):
            # pytest-cov starts a worker's measurement while configuring: in
            # the fork server, for every worker at once.
            raise pytest.UsageError("--aurvane-fork cannot be combined with pytest-cov's --cov")
    for arg in worker_args(list(config.invocation_params.args)):
        try:
            arg.encode("utf-8")
        except UnicodeEncodeError:
            message = f"--aurvane can only pass arguments that are valid UTF-8 to its workers, not {arg!r}"
            raise pytest.UsageError(message) from None


def check_run_dir(path: Path) -> None:
    """Raises pytest.UsageError for an --aurvane-run-dir that cannot hold a run's files."""
    problem = None
    if path.exists():
        if not path.is_dir():
            problem = "not a directory"
        elif not os.access(path, os.W_OK | os.X_OK):
            problem = "not writable"
    else:
        # Made here, not by the run: the operating system's reason is the
        # user's to read, whatever the path (a file on the way, /proc).
        try:
            path.mkdir(parents=True)
        except OSError as error:
            problem = str(error.strerror or error)
    if problem is None and path.resolve().parts[1:2] in (("proc",), ("sys",)):
        problem = "in a file system of the kernel's"
    if problem is not None:
        raise pytest.UsageError(f"--aurvane-run-dir {path} cannot hold a run: {problem}")


def usable_cpus() -> int:
    """The CPUs this process may run on: a CI job's quota or ``taskset`` limits them, not the machine's count."""
    counted = getattr(os, "process_cpu_count", None)  # Python 3.13
    if counted is not None:
        return max(1, counted() or 1)
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return max(1, os.cpu_count() or 1)


def parse_worker_count(value: str) -> int:
    if value == "auto":
        return usable_cpus()
    try:
        workers = int(value)
    except ValueError:
        workers = 0
    if not 1 <= workers <= 256:
        raise pytest.UsageError(f"--aurvane expects a worker count from 1 to 256 or 'auto', not {value!r}")
    return workers


def worker_args(args: Sequence[str]) -> list[str]:
    """The user's pytest arguments without the front end's own options."""
    result = []
    skip_value = False
    for arg in args:
        if skip_value:
            skip_value = False
            continue
        if arg in _FLAG_OPTIONS:
            continue
        if arg in _VALUE_OPTIONS:
            skip_value = True
            continue
        if arg.startswith("--") and arg.split("=", 1)[0] in _VALUE_OPTIONS and "=" in arg:
            continue
        result.append(arg)
    return result


def default_max_restarts(workers: int) -> int:
    """Enough replacements for a suite with a handful of crashing tests to run to its end.

    Each crashing test costs one replacement. A worker that cannot start at
    all ends the run at once whatever the budget (replacements exist only
    for workers that had collected), so the budget only bounds how long a
    suite whose every test kills its worker keeps going.
    """
    return max(16, 4 * workers)


def retries_for(config: pytest.Config) -> int:
    """The retries of a test whose worker died under it: --aurvane-retries, else pytest-rerunfailures' --reruns.

    Under -n, pytest-rerunfailures runs a test that crashed its worker again
    as often as it would rerun a failure; here the controller does that.
    """
    given = any(str(arg).startswith("--aurvane-retries") for arg in config.invocation_params.args)
    if not given and not str(config.getini("aurvane_retries") or "").strip():
        reruns = getattr(config.option, "reruns", None)
        if isinstance(reruns, int) and reruns > 0 and config.pluginmanager.has_plugin("rerunfailures"):
            return min(reruns, MAX_COUNT)
    return int(config.getoption("aurvane_retries"))


def build_spec(config: pytest.Config, workers: int, run_dir: Path, history_path: Path, run_id: str) -> dict[str, Any]:
    """The run specification the controller reads (and the workers read "pytest_args" from)."""
    max_restarts = config.getoption("aurvane_max_restarts")
    if max_restarts is None:
        max_restarts = default_max_restarts(workers)
    return {
        "protocol": 1,
        "python": config.getoption("aurvane_python") or sys.executable,
        "cwd": str(config.invocation_params.dir),
        "workers": workers,
        "phase_timeout": float(config.getoption("aurvane_phase_timeout")),
        "startup_timeout": float(config.getoption("aurvane_startup_timeout")),
        "shutdown_timeout": float(config.getoption("aurvane_shutdown_timeout")),
        "max_restarts": max_restarts,
        "retries": retries_for(config),
        # The controller keeps a group's tests together under "file"; which
        # tests form a group is the workers' choice, told by "grouping".
        "schedule": "test" if config.getoption("aurvane_schedule") == "test" else "file",
        "grouping": "file" if config.getoption("aurvane_schedule") == "file" else "fixtures",
        "history": not config.getoption("aurvane_no_history"),
        "gc_freeze": not config.getoption("aurvane_no_gc_freeze"),
        "history_path": str(history_path),
        "run_dir": str(run_dir),
        "run_id": run_id,
        "maxfail": int(config.getoption("maxfail") or 0),
        "pytest_args": worker_args(list(config.invocation_params.args)),
    }


def history_path_given(config: pytest.Config) -> Optional[Path]:
    """--aurvane-history-path as the user gave it, made absolute but never resolved.

    A symbolic link at its end stays a link, for the run to refuse: resolved,
    its target would be what the run replaces.
    """
    chosen = config.getoption("aurvane_history_path")
    if not chosen:
        return None
    return Path(config.invocation_params.dir, chosen)


def check_history_path(config: pytest.Config) -> None:
    """A history path that holds something else than a history is a usage error: the run would replace it."""
    path = history_path_given(config)
    if path is None or config.getoption("aurvane_no_history"):
        return
    from .history import unusable_history

    refused = unusable_history(str(path))
    if refused is not None:
        raise pytest.UsageError(f"--aurvane-history-path: {refused}")
