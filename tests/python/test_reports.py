"""The report wire forms: what the worker encodes, the front end reads back the same."""

import json

import pytest
from _pytest._code import ExceptionInfo
from _pytest.reports import TestReport, _report_kwargs_from_json, _report_to_json

from pytest_aurvane.reports import (
    MAX_LINE_BYTES,
    OUTPUT_HEAD,
    OUTPUT_TAIL,
    bundle_line,
    cut_output,
    cut_sections,
    encode_json,
    encode_line,
    is_plain_pass,
    passing_line,
    report_line,
    reports_of,
    shrink_report_data,
)


@pytest.fixture
def config(pytester):
    return pytester.parseconfigure()


def phase_report(when, outcome="passed", longrepr=None, **extra):
    return TestReport("t.py::T::t[a::b]", ("t.py", 4, "T.t[a::b]"), {"t": 1, "T": 1, "parametrize": 1},
                      outcome, longrepr, when, **extra)  # fmt: skip


def failure():
    try:
        try:
            raise ValueError("inner")
        except ValueError:
            raise RuntimeError("outer")
    except RuntimeError:
        return phase_report("call", "failed", ExceptionInfo.from_current().getrepr(chain=True))


def wire(report):
    """What a report is once through JSON, for comparing before and after."""
    data = json.loads(encode_json(_report_to_json(report)))
    data.pop("$report_type", None)  # pytest keeps it on a report it read back
    return data


def serialised(config, report):
    """The report as the worker serialises it."""
    return config.hook.pytest_report_to_serializable(config=config, report=report)


def decoded(config, line):
    assert line.endswith(b"\n") and line.count(b"\n") == 1
    return reports_of(config, json.loads(line))


def test_each_form_reads_back_as_the_reports_sent(config):
    plain = [phase_report(when, duration=0.25) for when in ("setup", "call", "teardown")]
    assert all(is_plain_pass(r) for r in plain)
    back = decoded(config, passing_line(7, plain))
    assert [wire(r) for r in back] == [wire(r) for r in plain]
    assert all(type(r) is TestReport and r.passed for r in back)

    chatty = [phase_report("setup"), phase_report("call", sections=[("Captured stdout call", "hi\n")]),
              phase_report("teardown", user_properties=[("k", "v")])]  # fmt: skip
    assert not any(is_plain_pass(r) for r in chatty[1:])
    line = bundle_line(7, [encode_json(serialised(config, r)) for r in chatty])
    assert [wire(r) for r in decoded(config, line)] == [wire(r) for r in chatty]

    skip = phase_report("setup", "skipped", ("t.py", 9, "Skipped: later"))
    for report in (failure(), skip):
        data = serialised(config, report)
        (back,) = decoded(config, report_line(7, report, data, encode_json(data)))
        assert wire(back) == wire(report)
        assert back.longreprtext == report.longreprtext
    assert isinstance(back.longrepr, tuple), "a skip's location triple is a tuple again, as reporters expect"


def test_malformed_records_give_no_reports(config):
    assert reports_of(config, {"event": "report"}) == []
    assert reports_of(config, {"event": "report", "reports": [None, 3]}) == []
    assert reports_of(config, {"event": "report", "passing": {"nodeid": "t.py::t"}}) == []
    assert reports_of(config, {"event": "report", "passing": {"nodeid": "t", "keywords": {}, "phases": [["call"]]}}) == []


def test_oversized_report_is_cut_to_fit_a_line():
    huge = "x" * (3 * MAX_LINE_BYTES)
    data = {"nodeid": "t.py::t", "sections": [["Captured stdout call", huge]], "longrepr": huge}
    shrunk = shrink_report_data(data, huge)
    line = encode_line({"event": "report", "index": 0, "report": shrunk})
    assert len(line) <= MAX_LINE_BYTES
    assert shrunk["nodeid"] == "t.py::t"
    assert "truncated" in shrunk["sections"][0][1]
    small = {"nodeid": "t.py::t", "sections": [["s", "short"]], "longrepr": None}
    assert shrink_report_data(small, "") is small


def test_cut_reports_still_read_back_as_pytest_reports():
    # A chained traceback too big for a line, and a skip with a huge reason.
    try:
        try:
            raise ValueError("x" * (2 * MAX_LINE_BYTES))
        except ValueError:
            raise RuntimeError("small")
    except RuntimeError:
        failure = TestReport("t.py::t", ("t.py", 0, "t"), {}, "failed",
                             ExceptionInfo.from_current().getrepr(chain=True), "call")  # fmt: skip
    skip = TestReport("t.py::s", ("t.py", 0, "s"), {}, "skipped", ("t.py", 3, "y" * (2 * MAX_LINE_BYTES)), "setup")
    back = {}
    for report in (failure, skip):
        shrunk = shrink_report_data(_report_to_json(report), report.longreprtext)
        assert len(encode_line(shrunk)) <= MAX_LINE_BYTES
        back[report.outcome] = TestReport(**_report_kwargs_from_json(json.loads(encode_line(shrunk))))
        assert "truncated" in back[report.outcome].longreprtext
    assert "RuntimeError: small" in back["failed"].longreprtext[-300:], "the last exception is kept"
    assert list(back["skipped"].longrepr[:2]) == ["t.py", 3], "a skip keeps its (path, line, reason) form"


def test_passing_reports_share_what_recurs_from_test_to_test(config):
    """pytest keeps every report to the end of the run: the decoded copies of repeated strings would add up."""
    first, second = (decoded(config, passing_line(n, [phase_report(w) for w in ("setup", "call", "teardown")]))
                     for n in (1, 2))  # fmt: skip
    assert first[0].location is first[2].location and first[0].location == ("t.py", 4, "T.t[a::b]")
    assert first[0].location[0] is second[0].location[0]
    key = next(k for k in second[1].keywords if k == "parametrize")
    assert key is next(k for k in first[0].keywords if k == "parametrize")
    assert first[0].keywords is not first[1].keywords, "each report has its own keywords, as in a serial run"


def test_captured_output_keeps_its_head_and_tail_and_says_how_much_was_cut():
    assert cut_output("abcdefgh", head=3, tail=2) == "abc\n[aurvane: 3 characters of output cut here]\ngh"
    assert cut_output("abcde", head=3, tail=2) == "abcde"
    big = "h" * OUTPUT_HEAD + "m" * 5_000_000 + "t" * OUTPUT_TAIL
    data = _report_to_json(phase_report("call", sections=[("Captured stdout call", big), ("Captured log call", "ok")]))
    cut = cut_sections(data)
    (title, body), (_, log) = cut["sections"]
    assert (title, log) == ("Captured stdout call", "ok")
    assert body == "h" * OUTPUT_HEAD + "\n[aurvane: 5,000,000 characters of output cut here]\n" + "t" * OUTPUT_TAIL
    assert data["sections"][0][1] is big, "the report's own data is left alone"
