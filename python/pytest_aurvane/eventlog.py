"""Reading the controller's event log for what it does not echo: the workers' own messages."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any, Iterator, Optional


class EventLogReader:
    """Reads "events.jsonl" as it grows, keeping only the records asked for.

    Every worker message is logged as a "worker_event" record, so the log
    is large; lines are picked by a byte search before any is parsed.
    Inside a JSON string a quotation mark is escaped, so the searched text
    can only match keys and values of the records themselves.
    """

    def __init__(self, path: Path, kinds: tuple[str, ...]) -> None:
        self.path = path
        self.kinds = kinds
        self._needles = [b'"event":"%s"' % kind.encode() for kind in kinds]
        self._offset = 0
        self.spawned: list[str] = []
        self.messages: list[tuple[str, dict[str, Any]]] = []
        # The node ids of the "collected_items" chunks, which only the
        # worker whose manifest became the reference sends (others by
        # exception); kept once, without the chunks themselves.
        self.nodeids: list[str] = []
        self._nodeids_from: Optional[str] = None

    def read(self) -> None:
        """Takes in the complete lines added since the last read: workers started, and their messages of our kinds."""
        kinds, needles = self.kinds, self._needles
        for line in self._new_lines():
            if b'"event":"worker_spawned"' in line:
                record = _parse(line)
                if record is not None and isinstance(record.get("worker"), str):
                    self.spawned.append(record["worker"])
            elif b'"event":"worker_event"' in line and any(n in line for n in needles):
                record = _parse(line)
                payload = record.get("payload") if record is not None else None
                if not isinstance(payload, dict) or payload.get("event") not in kinds:
                    continue
                worker = str(record.get("worker"))
                if payload.get("event") == "collected_items":
                    self._take_nodeids(worker, payload)
                else:
                    self.messages.append((worker, payload))

    def manifest(self) -> list[dict[str, Any]]:
        """The items of the first manifest a worker collected without failing (the run's, if it agreed)."""
        for _, payload in self.of_kind("collected"):
            items = payload.get("items")
            if payload.get("failed") is not True and isinstance(items, list):
                return [item for item in items if isinstance(item, dict)]
        return []

    def of_kind(self, kind: str) -> list[tuple[str, dict[str, Any]]]:
        return [(worker, payload) for worker, payload in self.messages if payload.get("event") == kind]

    def _take_nodeids(self, worker: str, payload: dict[str, Any]) -> None:
        # Every accepted manifest equals the first one sent, so only its
        # worker's chunks are read.
        if self._nodeids_from is None:
            self._nodeids_from = worker
        if worker != self._nodeids_from:
            return
        for item in payload.get("items") or []:
            nodeid = item[1] if isinstance(item, list) and len(item) > 1 else item.get("nodeid") if isinstance(item, dict) else None
            self.nodeids.append(nodeid if isinstance(nodeid, str) else "")

    def _new_lines(self) -> Iterator[bytes]:
        # Line by line: the log of a large suite's collection holds its
        # whole manifest, which need not be in memory at once.
        try:
            with open(self.path, "rb") as f:
                f.seek(self._offset)
                for line in f:
                    if not line.endswith(b"\n"):
                        return
                    self._offset += len(line)
                    yield line
        except OSError:
            return


def _parse(line: bytes) -> Any:
    try:
        record = json.loads(line)
    except ValueError:
        return None
    return record if isinstance(record, dict) else None
