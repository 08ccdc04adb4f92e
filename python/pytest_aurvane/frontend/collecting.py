"""The workers' collection progress, on one line of a terminal rewritten in place.

Serial pytest shows "collecting ..." while it collects; the front end shows
the same line at once, then each worker's count of tests as it says how far
it got (every 2 s, so a quick collection shows no counts). What the front
end writes next takes the line's place ("aurvane: N tests collected ...").
Only on a terminal: redirected output and reports stay as they were.
"""

from __future__ import annotations

from typing import Any, Optional


class CollectionProgress:
    """One line, "aurvane: collecting ... av0: 812 tests, av1: 2229 tests (done)", until the run has collected."""

    def __init__(self, terminal: Optional[Any], verbosity: int) -> None:
        on_terminal = terminal is not None and getattr(terminal, "isatty", False) and verbosity >= 0
        self._terminal = terminal if on_terminal else None
        self._counts: dict[str, tuple[int, bool]] = {}
        self._shown = False

    def start(self) -> None:
        """Shows the line, before any worker has said anything."""
        self._show()

    def update(self, worker: Any, progress: Any) -> None:
        """A worker's count, from its "progress" message."""
        if self._terminal is None or not isinstance(progress, dict):
            return
        count = progress.get("collected")
        if not isinstance(count, int):
            return
        self._counts[str(worker)] = (count, progress.get("done") is True)
        self._show()

    def replace(self, text: str, **markup: bool) -> bool:
        """Writes `text` in the line's place, ending with a new line; whether the line was shown.

        The line was written over in place: its first line is padded to
        the width, as pytest pads its own "collected" line.
        """
        tr = self._terminal
        if not self._shown or tr is None:
            return False
        first, _, rest = text.partition("\n")
        tr.rewrite(first, erase=True, **markup)
        tr.write("\n")
        if rest:
            tr.write_line(rest, **markup)
        self._shown = False
        return True

    def finish(self) -> None:
        """No more counts (a replacement's come after the run collected); a line still shown stays as it was."""
        if self._shown and self._terminal is not None:
            self._terminal.write("\n")
        self._shown = False
        self._terminal = None

    def _show(self) -> None:
        tr = self._terminal
        if tr is None:
            return
        text = "aurvane: collecting ..."
        if self._counts:
            parts = [
                f"{worker}: {count} test{'' if count == 1 else 's'}{' (done)' if done else ''}"
                for worker, (count, done) in sorted(self._counts.items(), key=lambda entry: _worker_order(entry[0]))
            ]
            text += " " + ", ".join(parts)
        width = tr._tw.fullwidth - 1
        if len(text) > width:
            text = text[: max(width - 3, 0)] + "..."
        tr.rewrite(text, bold=True, erase=True)
        self._shown = True


def _worker_order(name: str) -> tuple[int, str]:
    digits = name[2:]
    return (int(digits) if digits.isdigit() else -1, name)
