"""Reading the controller's event log for what it does not echo: the workers' own messages."""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any, Iterator, Optional

from ..reports import decode_text

# How much of a line is read before deciding whether it is wanted. The
# records asked for name their kind in their first keys, but the log also
# holds lines as long as the suite is large (the summary lists every test):
# those are skipped without being held whole.
_HEAD_BYTES = 64 * 1024
# How much of the log is searched at a time.
_BLOCK_BYTES = 1 << 20


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
        # Workers whose node ids were let go (see release_nodeids).
        self._released: dict[str, None] = {}
        # The log, once held (see hold).
        self._fd: Optional[int] = None

    def hold(self) -> None:
        """Opens the log (made empty if it is not there yet) and reads it through this descriptor from now on.

        Called before the controller starts, which writes into the same file:
        a test that deletes the run directory, or the log, then takes nothing
        away from the front end (the manifest it accounts for tests by).
        Where a file can be read only from a position of its own (Windows),
        the log is opened by name at each read, and cannot be deleted while
        the controller holds it anyway.
        """
        if self._fd is not None or not hasattr(os, "pread"):
            return
        flags = os.O_RDONLY | os.O_CREAT | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)
        try:
            self._fd = os.open(self.path, flags, 0o644)
        except OSError:
            pass  # the controller refuses it too, and says why

    def close(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None

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
                    if worker not in self._released:
                        self._take_nodeids(worker, payload)
                else:
                    self.messages.append((worker, payload))

    def release_nodeids(self) -> None:
        """Lets the node ids read so far go; `nodeids` reads them again from the log if asked.

        They are needed when every worker has collected, and afterwards only
        to show how two collections differ: held for the whole run they would
        be a second copy of every node id beside the reports.
        """
        self._released.update(dict.fromkeys(self.chunk_nodeids))
        self.chunk_nodeids.clear()

    def manifest(self) -> Iterator[tuple[int, Any, Any]]:
        """(index, node id, location) of each item of the first manifest a worker collected without failing.

        That is the run's manifest, if the workers agreed. Read again from
        the log, item by item, each time.
        """
        for worker, payload in self.of_kind("collected"):
            if payload.get("failed") is True:
                continue
            items = payload.get("items")
            if isinstance(items, list):
                for position, item in enumerate(items):
                    if isinstance(item, dict):
                        index = item.get("index")
                        yield index if isinstance(index, int) else position, item.get("nodeid"), item.get("location")
                return
            if worker in self.chunk_nodeids or worker in self._released:
                yield from self._chunk_items(worker)
                return

    def nodeids(self, worker: str, payload: dict[str, Any]) -> list[str]:
        """The node ids of `worker`'s "collected" message: listed in it, or sent in chunks."""
        if isinstance(payload.get("items"), list):
            return [item.get("nodeid") for item in payload["items"] if isinstance(item, dict)]
        if worker not in self.chunk_nodeids and worker not in self._released:
            # Accepted on its digest: the same as the manifest that was sent.
            worker = next(iter(self._released), None) or next(iter(self.chunk_nodeids), "")
        if worker in self.chunk_nodeids:
            return self.chunk_nodeids[worker]
        if worker in self._released:
            return [nodeid if isinstance(nodeid, str) else "" for _, nodeid, _ in self._chunk_items(worker)]
        return []

    def of_kind(self, kind: str) -> list[tuple[str, dict[str, Any]]]:
        return [(worker, payload) for worker, payload in self.messages if payload.get("event") == kind]

    def _take_nodeids(self, worker: str, payload: dict[str, Any]) -> None:
        ids = self.chunk_nodeids.setdefault(worker, [])
        for item in payload.get("items") or []:
            nodeid = _field(item, 1, "nodeid")
            ids.append(nodeid if isinstance(nodeid, str) else "")

    def _chunk_items(self, worker: str) -> Iterator[tuple[int, Any, Any]]:
        # Read again from the log when needed rather than kept for the run.
        position = 0
        for _, line in _wanted_lines(self._blocks(0), 0, (b'"event":"collected_items"',)):
            record = _parse(line) if line else None
            if record is None or record.get("worker") != worker or not isinstance(record.get("payload"), dict):
                continue
            for item in record["payload"].get("items") or []:
                index = _field(item, 0, "index")
                nodeid, location = _field(item, 1, "nodeid"), _field(item, 2, "location")
                yield index if isinstance(index, int) else position, nodeid, location
                position += 1
            if record["payload"].get("more") is False:
                return  # the manifest's last chunk: the rest of the log is the run

    def _new_lines(self) -> Iterator[bytes]:
        # Line by line: the log of a large suite's collection holds its
        # whole manifest, which need not be in memory at once.
        needles = (b'"event":"worker_spawned"', *self._needles)
        for self._offset, text in _wanted_lines(self._blocks(self._offset), self._offset, needles):
            if text:
                yield text

    def _blocks(self, offset: int) -> Iterator[bytes]:
        """The log's bytes from `offset` on, a block at a time; none if it cannot be read."""
        fd = self._fd
        if fd is not None:
            while True:
                try:
                    block = os.pread(fd, _BLOCK_BYTES, offset)
                except OSError:
                    return
                if not block:
                    return
                offset += len(block)
                yield block
        try:
            with open(self.path, "rb") as f:
                f.seek(offset)
                yield from iter(lambda: f.read(_BLOCK_BYTES), b"")
        except OSError:
            return


def _wanted_lines(blocks: Iterator[bytes], offset: int, needles: tuple[bytes, ...]) -> Iterator[tuple[int, bytes]]:
    """(offset after the line, the line) for each complete line of `blocks`
    (the log from `offset` on) whose head holds one of `needles`; last, (the
    offset after the last complete line, b"").

    The log is read in large blocks, each searched whole for each needle: at
    the end of a run, the run's every record lies between the last read and
    the end, and those not wanted are never split out. A line whose head
    holds no needle is never held whole. A last line without its line feed
    (the controller is writing it) is left for the next read.
    """
    buffer = b""  # from `offset` on: the start of a line not yet complete
    skipped_from = -1  # where a long line not wanted began, while it is dropped
    for block in blocks:
        if skipped_from >= 0:
            newline = block.find(b"\n")
            if newline < 0:
                offset += len(block)
                continue
            offset, block, skipped_from = offset + newline + 1, block[newline + 1 :], -1
        buffer = buffer + block if buffer else block
        complete = buffer.rfind(b"\n") + 1
        # Where each needle is next found; -1 once it is not there.
        found = [buffer.find(needle, 0, complete) for needle in needles]
        while True:
            at = min((position for position in found if position >= 0), default=-1)
            if at < 0:
                break
            start = buffer.rfind(b"\n", 0, at) + 1
            end = buffer.find(b"\n", at) + 1
            if at - start < _HEAD_BYTES:
                yield offset + end, buffer[start:end]
            found = [
                buffer.find(needle, end, complete) if 0 <= position < end else position
                for needle, position in zip(needles, found)
            ]
        offset += complete
        buffer = buffer[complete:]
        if len(buffer) >= _HEAD_BYTES and all(buffer.find(n, 0, _HEAD_BYTES) < 0 for n in needles):
            offset, skipped_from = offset + len(buffer), offset
            buffer = b""
    if skipped_from >= 0:
        offset = skipped_from  # its end is still to be written
    yield offset, b""


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
