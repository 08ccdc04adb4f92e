"""The wire forms of a test's reports and of warnings, encoder and decoder side by side.

A worker sends a test's reports in "report" messages, in one of three forms:

- "report": one report, as ``pytest_report_to_serializable`` made it;
- "reports": several passing reports of one test, in order;
- "passing": plain passing reports of one test in a short form (node id,
  location and keywords once, then each phase with its duration).

The controller passes the messages on unchanged; the front end rebuilds
pytest report objects from them with ``reports_of``.

A warning travels under "warning": in the "report" message of the test it
was recorded in, or else in a "collection_report" message, which the
controller forwards at once.
"""

from __future__ import annotations

import builtins
import json
import re
import sys
import warnings
from typing import Any, Iterator, Optional, Sequence

from _pytest.reports import TestReport

# The controller gives up a worker whose line is longer than this (line feed
# included); a report that would exceed it is cut down first.
MAX_LINE_BYTES = 8 * 1024 * 1024
# Room left for the envelope around a shrunk report.
_SHRINK_TARGET = MAX_LINE_BYTES - 64 * 1024
_TRUNCATED_NOTE = "\n[aurvane: output truncated to fit the worker protocol line limit]\n"
# Captured output keeps this many characters of its beginning and as many of
# its end, per section: a test that prints hundreds of MiB would otherwise
# cost seconds of encoding per MiB-sized line, and the line limit cuts it
# anyway. Six sections (output, error and log of three phases) at most take
# 3 MiB of ASCII, well within a line.
OUTPUT_HEAD = OUTPUT_TAIL = 256 * 1024
# A node id longer than this (encoded) cannot travel: a test's report
# carries it several times over (node id, location, keywords).
MAX_NODEID_BYTES = MAX_LINE_BYTES // 8


# -- encoding (worker) ---------------------------------------------------------


# Lone surrogates (bytes of a file name that are not UTF-8, as Python decodes
# them) cannot travel in UTF-8, and replacing them would give two files the
# same node id. They travel as this private-use character and four hex
# digits; the character itself travels doubled. decode_text undoes it.
WIRE_ESCAPE = "\U0010fffd"
_TO_ESCAPE = re.compile("[\ud800-\udfff\U0010fffd]")
_ESCAPED = re.compile("\U0010fffd(\U0010fffd|[0-9a-f]{4})")


def _escape(match: "re.Match[str]") -> str:
    char = match.group()
    return WIRE_ESCAPE * 2 if char == WIRE_ESCAPE else f"{WIRE_ESCAPE}{ord(char):04x}"


def _unescape(match: "re.Match[str]") -> str:
    code = match.group(1)
    return WIRE_ESCAPE if code == WIRE_ESCAPE else chr(int(code, 16))


def encode_json(value: Any) -> bytes:
    text = json.dumps(value, separators=(",", ":"), ensure_ascii=False, default=repr)
    try:
        if WIRE_ESCAPE not in text:
            return text.encode("utf-8")
    except UnicodeEncodeError:
        pass
    return _TO_ESCAPE.sub(_escape, text).encode("utf-8")


def decode_text(text: str) -> str:
    """A line from the controller with the worker's escapes undone (see WIRE_ESCAPE)."""
    if WIRE_ESCAPE not in text:
        return text
    return _ESCAPED.sub(_unescape, text)


def encode_line(message: Any) -> bytes:
    return encode_json(message) + b"\n"


def report_line(index: int, report: Any, data: dict[str, Any], encoded: bytes) -> bytes:
    """The "report" line for `report`, serialised as `data` and `encoded`."""
    if len(encoded) + 64 > _SHRINK_TARGET:
        # Only now: rendering the failure text costs as much as the report.
        encoded = encode_json(shrink_report_data(data, report.longreprtext))
    return b'{"event":"report","index":%d,"report":%b}\n' % (index, encoded)


def bundle_line(index: int, encoded_reports: Sequence[bytes]) -> bytes:
    """One "report" line carrying several encoded reports, in order, under "reports"."""
    return b'{"event":"report","index":%d,"reports":[%b]}\n' % (index, b",".join(encoded_reports))


# Everything a passing report holds when it says nothing but its phase and
# duration; anything more (captured output, properties, a plugin's extra
# attribute) needs the full form.
_PLAIN_REPORT_KEYS = frozenset(
    ("nodeid", "location", "keywords", "outcome", "longrepr", "when", "user_properties", "sections", "duration")
)


def is_plain_pass(report: Any) -> bool:
    fields = report.__dict__
    return (
        type(report) is TestReport
        and fields.keys() == _PLAIN_REPORT_KEYS
        and fields["outcome"] == "passed"
        and fields["longrepr"] is None
        and not fields["sections"]
        and not fields["user_properties"]
    )


def passing_line(index: int, reports: Sequence[TestReport]) -> bytes:
    """One "report" line for plain passing reports of one test, in order.

    Most tests pass silently; their reports differ only in phase and
    duration, so the rest travels once, under "passing", and the front end
    rebuilds each report from it.
    """
    first = reports[0]
    passing = {
        "nodeid": first.nodeid,
        "location": first.location,
        "keywords": first.keywords,
        "phases": [[report.when, report.duration] for report in reports],
    }
    return encode_line({"event": "report", "index": index, "passing": passing})


def cut_output(text: str, head: int = OUTPUT_HEAD, tail: int = OUTPUT_TAIL) -> str:
    """`text` cut to its first `head` and last `tail` characters, with a line saying how much went."""
    if len(text) <= head + tail:
        return text
    cut = len(text) - head - tail
    return f"{text[:head]}\n[aurvane: {cut:,} characters of output cut here]\n{text[len(text) - tail:]}"


def output_size(report: Any) -> int:
    """How many characters of captured output a report holds."""
    return sum(len(body) for _, body in getattr(report, "sections", ()) if isinstance(body, str))


def cut_sections(data: dict[str, Any]) -> dict[str, Any]:
    """Serialised report data with each captured output section cut by `cut_output` (a copy when cut)."""
    sections = data.get("sections")
    if not sections or all(not isinstance(body, str) or len(body) <= OUTPUT_HEAD + OUTPUT_TAIL
                           for _, body in sections):
        return data
    cut = [[title, cut_output(body) if isinstance(body, str) else body] for title, body in sections]
    return dict(data, sections=cut)


def cut_longrepr(longrepr: Any, text: str, keep: int) -> Any:
    """A failure description that pytest can still read back, at most about `keep` characters.

    A skip keeps its (path, line, reason) form, which the terminal's skip
    summary relies on. Anything structured (a traceback, a chain of them)
    becomes its plain text: a cut structure would no longer deserialise. A
    failure keeps its beginning and its end, where the exception that
    ended the test is.
    """
    if isinstance(longrepr, (list, tuple)) and len(longrepr) == 3 and isinstance(longrepr[2], str):
        path, line, reason = longrepr
        return [path, line, reason if len(reason) <= keep else reason[:keep] + _TRUNCATED_NOTE]
    if not isinstance(longrepr, str):
        longrepr = text
    if len(longrepr) <= keep:
        return longrepr
    return longrepr[: keep // 2] + _TRUNCATED_NOTE + longrepr[-(keep // 2) :]


def shrink_report_data(data: dict[str, Any], text: str, budget: int = _SHRINK_TARGET) -> dict[str, Any]:
    """Cut captured output and the failure description until the report fits a line.

    `text` is the report's failure as plain text (``longreprtext``).
    """
    size = len(encode_line(data))
    if size <= budget:
        return data
    data = dict(data)
    sections = data.get("sections") or []
    if sections:
        share = max(1024, budget // (4 * len(sections)))
        data["sections"] = [
            [title, body if len(body) <= share else body[:share] + _TRUNCATED_NOTE] for title, body in sections
        ]
        if len(encode_line(data)) <= budget:
            return data
    if data.get("longrepr") is not None:
        data["longrepr"] = cut_longrepr(data["longrepr"], text, budget // 4)
        if len(encode_line(data)) <= budget:
            return data
    data["sections"] = []
    data["user_properties"] = []
    data["longrepr"] = cut_longrepr(data.get("longrepr") or "", text, budget // 8)
    return data


# -- decoding (front end) ------------------------------------------------------


def rebuild(config: Any, data: Any) -> Optional[Any]:
    """A report object from its serialised form, or None for anything else."""
    if not isinstance(data, dict):
        return None
    if isinstance(data.get("longrepr"), list):
        # A skip's (path, line, reason) triple; JSON turned the tuple
        # into a list, and pytest's reporters insist on the tuple.
        data = dict(data, longrepr=tuple(data["longrepr"]))
    return config.hook.pytest_report_from_serializable(config=config, data=data)


# Strings that recur from test to test (file names, phase names, and
# keywords: the names of a test's module, class, packages and marks), each
# held once. pytest
# keeps every report until the run ends, and a serial run's reports share
# these strings with its items; decoded from each record, they would be
# copies. The table forgets everything when full, so a suite's unique names
# (a test's own name is a keyword too) do not pile up in it.
_SHARED: dict[str, str] = {}
_MAX_SHARED = 10_000


def _shared(text: str) -> str:
    if len(_SHARED) >= _MAX_SHARED:
        _SHARED.clear()
    return _SHARED.setdefault(text, text)


def shared_location(location: Any) -> Any:
    """`location` as a tuple whose file name is one string for all the file's tests.

    The reports of a test share the tuple, as a serial run's share their item's.
    """
    if not (isinstance(location, list) and len(location) == 3):
        return location
    path, line, domain = location
    return (_shared(path) if isinstance(path, str) else path, line, domain)


def expand_passing(passing: Any) -> Iterator[TestReport]:
    """The reports of the short form, as a serial run would have made them."""
    if not isinstance(passing, dict):
        return
    nodeid = passing.get("nodeid")
    location = shared_location(passing.get("location"))
    keywords = passing.get("keywords")
    phases = passing.get("phases")
    if not (isinstance(nodeid, str) and isinstance(keywords, dict) and isinstance(phases, list)):
        return
    keywords = {_shared(key): value for key, value in keywords.items()}
    for phase in phases:
        if not (isinstance(phase, list) and len(phase) == 2):
            continue
        when, duration = phase
        yield TestReport(
            nodeid=nodeid,
            location=location,
            when=_shared(when) if isinstance(when, str) else when,
            keywords=dict(keywords),
            outcome="passed",
            longrepr=None,
            sections=[],
            duration=duration,
            user_properties=[],
        )


def reports_of(config: Any, record: dict[str, Any]) -> list[Any]:
    """The report objects a "report" record carries, in any of the three forms, in order."""
    passing = record.get("passing")
    if isinstance(passing, dict):
        return list(expand_passing(passing))
    bundle = record.get("reports")
    found = (rebuild(config, data) for data in (bundle if isinstance(bundle, list) else (record.get("report"),)))
    return [report for report in found if report is not None]


# -- warnings ------------------------------------------------------------------


def warning_data(warning_message: Any, when: str, nodeid: str, location: Any) -> dict[str, Any]:
    """A recorded warning (the arguments of ``pytest_warning_recorded``) as JSON-ready data."""
    category = warning_message.category
    return {
        "message": str(warning_message.message),
        "category": [getattr(category, "__module__", "builtins"), getattr(category, "__qualname__", "Warning")],
        "filename": str(warning_message.filename),
        "lineno": warning_message.lineno,
        "line": warning_message.line,
        "when": when,
        "nodeid": nodeid,
        "location": list(location) if location else None,
    }


_CATEGORIES: dict[tuple[str, str], type] = {}


def warning_category(module: str, name: str) -> type:
    """The warning class of that name, or a stand-in that prints the same.

    A category defined in a test module or a conftest is not imported here:
    the front end does not run the suite's code.
    """
    key = (module, name)
    found = _CATEGORIES.get(key)
    if found is not None:
        return found
    owner: Any = builtins if module == "builtins" else sys.modules.get(module)
    for part in name.split("."):
        owner = getattr(owner, part, None)
    if not (isinstance(owner, type) and issubclass(owner, Warning)):
        owner = _stand_in(module, name)
    _CATEGORIES[key] = owner
    return owner


_STAND_INS: dict[tuple[str, str], type] = {}


def _stand_in(module: str, name: str) -> type:
    """A plain warning class that prints as the category of that name would."""
    key = (module, name)
    found = _STAND_INS.get(key)
    if found is None:
        found = _STAND_INS[key] = type(
            name.rsplit(".", 1)[-1], (Warning,), {"__module__": module, "__qualname__": name}
        )
    return found


def _wire_text(self: BaseException) -> str:
    return str(self.args[0]) if self.args else ""


# Per category: a subclass whose instances print the text that travelled.
_PRINTING_AS_SENT: dict[type, Optional[type]] = {}


def warning_instance(category: type, text: str) -> Optional[BaseException]:
    """An instance of `category` that prints as `text`, made without the category's constructor; None if none can be.

    The worker sent what the warning printed. A category's constructor may
    want arguments that did not travel (a keyword-only "since"), and its
    ``__str__`` may read attributes that constructor sets: the instance is
    made by BaseException's own allocator, which sets only ``args``, and
    when it does not print as `text`, of a subclass whose ``__str__`` gives
    `text` back. Anything the category's code raises means None.
    """
    try:
        instance = BaseException.__new__(category, text)  # type: ignore[call-overload]
        if instance.args == (text,) and str(instance) == text:
            return instance
    except Exception:
        pass
    if category not in _PRINTING_AS_SENT:
        try:
            sub = type(category.__name__, (category,), {"__str__": _wire_text})
            sub.__module__, sub.__qualname__ = category.__module__, category.__qualname__
            _PRINTING_AS_SENT[category] = sub
        except Exception:
            _PRINTING_AS_SENT[category] = None
    sub = _PRINTING_AS_SENT[category]
    if sub is None:
        return None
    try:
        instance = BaseException.__new__(sub, text)  # type: ignore[call-overload]
        return instance if str(instance) == text else None
    except Exception:
        return None


def warning_hook_kwargs(data: Any) -> Optional[dict[str, Any]]:
    """The arguments of ``pytest_warning_recorded`` for a warning's data, or None if it is malformed."""
    if not isinstance(data, dict) or not isinstance(data.get("category"), list) or len(data["category"]) != 2:
        return None
    module, name = str(data["category"][0]), str(data["category"][1])
    category = warning_category(module, name)
    text = str(data.get("message"))
    instance = warning_instance(category, text)
    if instance is None:
        category = _stand_in(module, name)
        instance = category(text)
    lineno = data.get("lineno")
    message = warnings.WarningMessage(
        instance,
        category,
        str(data.get("filename")),
        lineno if isinstance(lineno, int) else 0,
        line=data.get("line") if isinstance(data.get("line"), str) else None,
    )
    location = data.get("location")
    return {
        "warning_message": message,
        "when": str(data.get("when") or "runtest"),
        "nodeid": str(data.get("nodeid") or ""),
        "location": tuple(location) if isinstance(location, list) and len(location) == 3 else None,
    }
