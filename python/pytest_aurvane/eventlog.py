"""Reading the controller's event log for what it does not echo: the workers' own messages."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any, Iterator

from .reports import decode_text


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
        # The node ids of each worker's "collected_items" chunks: only the
        # worker whose manifest became the reference sends them, and one
        # whose digest differed; kept without the chunks themselves.
        self.chunk_nodeids: dict[str, list[str]] = {}

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
        for worker, payload in self.of_kind("collected"):
            if payload.get("failed") is True:
                continue
            items = payload.get("items")
            if isinstance(items, list):
                return [item for item in items if isinstance(item, dict)]
            if worker in self.chunk_nodeids:
                return list(self._chunk_items(worker))
        return []

    def nodeids(self, worker: str, payload: dict[str, Any]) -> list[str]:
        """The node ids of `worker`'s "collected" message: listed in it, or sent in chunks."""
        if isinstance(payload.get("items"), list):
            return [item.get("nodeid") for item in payload["items"] if isinstance(item, dict)]
        if worker in self.chunk_nodeids:
            return self.chunk_nodeids[worker]
        # Accepted on its digest: the same as the manifest that was sent.
        return next(iter(self.chunk_nodeids.values()), [])

    def of_kind(self, kind: str) -> list[tuple[str, dict[str, Any]]]:
        return [(worker, payload) for worker, payload in self.messages if payload.get("event") == kind]

    def _take_nodeids(self, worker: str, payload: dict[str, Any]) -> None:
        ids = self.chunk_nodeids.setdefault(worker, [])
        for item in payload.get("items") or []:
            nodeid = _field(item, 1, "nodeid")
            ids.append(nodeid if isinstance(nodeid, str) else "")

    def _chunk_items(self, worker: str) -> Iterator[dict[str, Any]]:
        # Read again from the log when needed rather than kept for the run.
        with open(self.path, "rb") as f:
            for line in f:
                if b'"event":"collected_items"' not in line:
                    continue
                record = _parse(line)
                if record is None or record.get("worker") != worker or not isinstance(record.get("payload"), dict):
                    continue
                for item in record["payload"].get("items") or []:
                    yield {"nodeid": _field(item, 1, "nodeid"), "location": _field(item, 2, "location")}

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
        record = json.loads(decode_text(line.decode("utf-8", "replace")))
    except ValueError:
        return None
    return record if isinstance(record, dict) else None


def _field(item: Any, position: int, key: str) -> Any:
    """A member of an item in either form: [index, nodeid, location, group] or an object."""
    if isinstance(item, list):
        return item[position] if len(item) > position else None
    return item.get(key) if isinstance(item, dict) else None
