"""How far a run is and how long it has left, shown while it runs.

On a terminal, one status line under pytest's own progress, redrawn in
place; elsewhere (a CI log), a plain line every 30 s, so that a job that
is stuck says on what before its deadline kills it. Both are fed the
controller's records as the front end replays them, and both write only to
the terminal: nothing of them reaches JUnit or pytest's reports.

The estimate spreads the expected durations of the tests not yet started
over the workers, adds what is left of the running ones, and scales them
by how this run's tests compare with their history so far.
"""

from __future__ import annotations

import os
import threading
import time
from typing import Any, Callable, Iterable, Optional

# A test running longer than this is named, with its worker and time.
SLOW_SECONDS = 60.0
# How often the status line is redrawn, and a plain line written when the
# output is not a terminal.
REDRAW_SECONDS = 0.5
PLAIN_LINE_SECONDS = 30.0
# The pace of this run against the history starts from the history's own
# as if this share of the suite's work had run at it, and stays within
# these bounds.
PRIOR_SHARE = 0.25
PACE_BOUNDS = (0.25, 4.0)


class Estimate:
    """The run's state as the controller's records tell it, and the time left at a moment.

    Times are the records' "elapsed" (seconds since the controller
    started), so a log read afterwards gives the estimate the run showed.
    """

    def __init__(self, history: Optional[dict[str, float]]) -> None:
        self.history = history or {}
        self.total = 0
        self.done = 0
        self.workers = 0
        self.restarts = 0
        self.collected_at: Optional[float] = None
        self.last_elapsed = 0.0
        self._pending = 0.0  # expected seconds of the tests not started, as far as history knows them
        self._pending_unknown = 0  # tests not started that history does not know
        self._running: dict[Any, tuple[Any, float, Optional[float]]] = {}  # worker: node id, start, expected
        self._started: dict[Any, Optional[float]] = {}  # index: its expectation, for a retry
        self._last_end: dict[Any, float] = {}  # worker: when its last test ended
        # Finished tests' cost (from the previous end on their worker, so
        # dispatch is counted) against their history: what quick tests cost
        # beyond it (the last few), and the longer tests' costs and history.
        self._cost_known = 0.0
        self._expected_known = 0.0
        self._known = 0
        self._prior = 0.0  # seconds of history the pace of 1 counts for
        self._pending_known = 0  # tests not started that history knows
        self._any_known = False  # whether the history knows any collected test
        self._failures: set[str] = set()

    # -- records ---------------------------------------------------------------

    def manifest(self, nodeids: Iterable[Any]) -> None:
        """The collected tests: what is expected of them."""
        pending, known, unknown = 0.0, 0, 0
        for nodeid in nodeids:
            seconds = self.history.get(nodeid) if isinstance(nodeid, str) else None
            if seconds is None or seconds < 0:
                unknown += 1
            else:
                pending += seconds
                known += 1
        self._pending, self._pending_known, self._pending_unknown = pending, known, unknown
        self._prior = PRIOR_SHARE * pending
        self._any_known = known > 0

    def record(self, record: dict[str, Any]) -> None:
        """One of the controller's records."""
        # Once per record of every test: kept to plain lookups.
        at = record.get("elapsed")
        if isinstance(at, float) and at > self.last_elapsed:
            self.last_elapsed = at
        at = self.last_elapsed
        kind = record.get("event")
        worker = record.get("worker")
        if kind == "start":
            nodeid = record.get("nodeid")
            expected = self.history.get(nodeid)
            if expected is not None and expected < 0:
                expected = None
            index = record.get("index")
            if index not in self._started:
                self._started[index] = expected
                if expected is None:
                    self._pending_unknown = max(0, self._pending_unknown - 1)
                else:
                    self._pending = max(0.0, self._pending - expected)
                    self._pending_known = max(0, self._pending_known - 1)
            self._running[worker] = (nodeid, at, expected)
            self._last_end.setdefault(worker, at)
        elif kind in ("finish", "interrupted"):
            running = self._running.pop(worker, None)
            self.done += 1
            if running is not None and kind == "finish":
                cost = at - min(self._last_end.get(worker, running[1]), running[1])
                expected = running[2]
                if expected is not None:
                    self._cost_known += cost
                    self._expected_known += expected
                    self._known += 1
            self._last_end[worker] = at
        elif kind == "retry":
            index = record.get("index")
            expected = self._started.get(index) if isinstance(index, int) else None
            if expected is None:
                self._pending_unknown += 1
            else:
                self._pending += expected
                self._pending_known += 1
        elif kind == "diagnostic":
            message = str(record.get("message", ""))
            name = message.split(" ", 1)[0]
            # A failure that ends the run is said a second time as the run's error.
            if name.startswith("av") and name[2:].isdigit() and message not in self._failures:
                self._failures.add(message)
                self.restarts += 1
                self._running.pop(name, None)
        elif kind == "collection":
            count, workers = record.get("count"), record.get("workers")
            self.total = count if isinstance(count, int) else 0
            self.workers = workers if isinstance(workers, int) else 1
            self.collected_at = at
            self._pending_unknown = self.total  # until the manifest says which the history knows

    # -- the estimate ----------------------------------------------------------

    def pace(self) -> float:
        """This run's seconds per second of history so far.

        A test's cost here runs from the end of the one before it on its
        worker, so dispatch and reporting are counted, which the history
        (each test's own duration) leaves out. The history's own pace of 1
        counts as a share of the suite's work already done, so that the
        first tests, often the longest and the least typical, do not set
        it alone.
        """
        if self._known == 0:
            return 1.0
        low, high = PACE_BOUNDS
        pace = (self._cost_known + self._prior) / (self._expected_known + self._prior)
        return min(high, max(low, pace))

    def left(self, now: float) -> Optional[float]:
        """Seconds left at `now`, or None while there is nothing to estimate from (no history)."""
        if self.collected_at is None or self.total == 0 or not self._any_known:
            return None
        pace = self.pace()
        # A test the history does not know costs what the known ones cost on average.
        each_unknown = self._cost_known / self._known if self._known else (
            (self._pending / self._pending_known) if self._pending_known else 0.0)
        waiting = self._pending * pace + self._pending_unknown * each_unknown
        running_left = []
        for _, start, expected in self._running.values():
            each = expected * pace if expected is not None else each_unknown
            running_left.append(max(0.0, each - (now - start)))
        workers = max(1, self.workers)
        spread = (waiting + sum(running_left)) / workers
        return max([spread, *running_left])

    def slow(self, now: float, threshold: float = SLOW_SECONDS) -> list[tuple[str, str, float]]:
        """(node id, worker, seconds) of each test running longer than `threshold`, longest first."""
        slow = [(nodeid, worker, now - start) for worker, (nodeid, start, _) in self._running.items()]
        return sorted((s for s in slow if s[2] >= threshold), key=lambda s: -s[2])

    def describe(self, now: float, plain: bool = False) -> str:
        """The facts of the moment as one line."""
        left = self.left(now)
        when = "estimating" if left is None else f"about {_duration(left)} left" if plain else f"{_duration(left)} left"
        parts = [f"{self.done}/{self.total} tests" + (" done" if plain else ""), when]
        if self.restarts:
            parts.append(f"{self.restarts} restart{'s' if self.restarts != 1 else ''}")
        for nodeid, worker, seconds in self.slow(now)[:1 if not plain else 3]:
            parts.append(f"slow: {nodeid} on {worker} for {_duration(seconds)}")
        return "aurvane: " + ", ".join(parts) if plain else "aurvane: " + " · ".join(parts)


def _duration(seconds: float) -> str:
    seconds = max(0, int(round(seconds)))
    if seconds < 60:
        return f"{seconds}s"
    if seconds < 3600:
        return f"{seconds // 60}m{seconds % 60:02d}s"
    return f"{seconds // 3600}h{seconds % 3600 // 60:02d}m"


# The records the estimate reads, and the last one of a run.
_WATCHED = frozenset(("collection", "start", "finish", "interrupted", "retry", "diagnostic", "summary"))


class Progress:
    """Shows an `Estimate` on pytest's terminal writer while the run goes on.

    The writer's ``write`` is wrapped for the run: it takes a lock, which the
    drawing thread takes too, and on a terminal erases the status line first
    when what pytest writes would reach the status line's row.
    """

    def __init__(self, tw: Any, estimate: Estimate, on_terminal: bool) -> None:
        self.tw = tw
        self.estimate = estimate
        self.on_terminal = on_terminal
        self._lock = threading.RLock()
        self._original: Optional[Callable[..., None]] = None
        self._drawn = False
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None
        # Controller time = this process's monotonic clock - offset.
        self._offset: Optional[float] = None
        self._last_plain = time.monotonic()

    def record(self, record: dict[str, Any]) -> None:
        """A record the front end replays; starts the drawing when the tests are collected."""
        if record.get("event") not in _WATCHED:
            return  # most are reports, which say nothing of the time
        with self._lock:
            self.estimate.record(record)
            at = record.get("elapsed")
            if isinstance(at, float):
                offset = time.monotonic() - at
                # Records arrive in batches: the least delay is the truest.
                if self._offset is None or offset < self._offset:
                    self._offset = offset
        if record.get("event") == "collection" and self._thread is None:
            self.start()
        elif record.get("event") == "summary":
            self.stop()

    def now(self) -> float:
        return time.monotonic() - self._offset if self._offset is not None else self.estimate.last_elapsed

    def start(self) -> None:
        self._original = self.tw.write
        self.tw.write = self._write
        self._last_plain = time.monotonic()
        self._thread = threading.Thread(target=self._run, name="aurvane-progress", daemon=True)
        self._thread.start()

    def stop(self) -> None:
        """Erases the status line and gives the writer back; pytest's summary follows."""
        self._stop.set()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join()
        with self._lock:
            self._erase()
            if self._original is not None:
                self.tw.write = self._original
                self._original = None

    def _write(self, msg: str, **kwargs: Any) -> None:
        with self._lock:
            erased = False
            if self._drawn and msg and (
                "\n" in msg or "\r" in msg or self.tw.width_of_current_line + len(msg) >= self.tw.fullwidth
            ):
                self._erase()
                erased = True
            assert self._original is not None
            self._original(msg, **kwargs)
            if erased and msg.endswith("\n"):
                # A line per test (-v) would otherwise keep it erased.
                self._draw()

    def _run(self) -> None:
        while not self._stop.wait(REDRAW_SECONDS):
            with self._lock:
                if self._original is None:
                    return
                if self.on_terminal:
                    self._draw()
                elif time.monotonic() - self._last_plain >= PLAIN_LINE_SECONDS:
                    self._last_plain = time.monotonic()
                    if self.tw.width_of_current_line:
                        self._original("\n")
                    self._original(self.estimate.describe(self.now(), plain=True) + "\n", flush=True)

    def _draw(self) -> None:
        """The status line on the row below the cursor, which then goes back where pytest left it."""
        width = self.tw.fullwidth
        text = self.estimate.describe(self.now())
        if len(text) > width - 1:
            text = text[: max(0, width - 2)] + "…"
        column = self.tw.width_of_current_line % max(1, width)
        out = self.tw._file
        out.write(("\x1b[J" if self._drawn else "") + "\n\r" + text + "\x1b[K\x1b[1A\r" +
                  (f"\x1b[{column}C" if column else ""))
        out.flush()
        self._drawn = True

    def _erase(self) -> None:
        if self._drawn:
            self.tw._file.write("\x1b[J")
            self.tw._file.flush()
            self._drawn = False


def wanted(config: Any) -> bool:
    """Whether the run shows its progress: not under -qq or --aurvane-no-progress."""
    return not config.getoption("aurvane_no_progress", False) and config.getoption("verbose", 0) > -2


def on_terminal(tw: Any) -> bool:
    """Whether pytest writes to a terminal that understands the cursor moves the status line uses."""
    isatty = getattr(tw._file, "isatty", None)
    return bool(isatty and isatty()) and os.environ.get("TERM", "") != "dumb" and (os.name != "nt" or tw.hasmarkup)
