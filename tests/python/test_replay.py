"""The front end's replay of controller records into pytest's hooks, fed record dicts."""

import json

import pytest

from pytest_aurvane.frontend.replay import Replay


class Recorder:
    """Notes the test hooks the replay calls, in order."""

    def __init__(self):
        self.calls = []
        self.reports = []
        self.finished = []

    def pytest_runtest_logstart(self, nodeid):
        self.calls.append(("start", nodeid))

    def pytest_runtest_logreport(self, report):
        self.calls.append((report.when, report.nodeid, report.outcome))
        self.reports.append(report)
        self.last = report

    def pytest_runtest_logfinish(self, nodeid):
        self.calls.append(("finish", nodeid))
        self.finished.append(nodeid)

    def pytest_collectreport(self, report):
        self.calls.append(("collect", report.nodeid, report.outcome))


@pytest.fixture
def replay(pytester, tmp_path):
    config = pytester.parseconfigure("-p", "no:terminal")
    recorder = Recorder()
    config.pluginmanager.register(recorder, "recorder")
    session = pytest.Session.from_config(config)
    replay = Replay(config, session, tmp_path)
    replay.recorder = recorder
    return replay


def passing(nodeid, *phases):
    return {"nodeid": nodeid, "location": ["t.py", 1, nodeid], "keywords": {}, "phases": [[p, 0.1] for p in phases]}


def test_reports_between_start_and_finish_each_test_once(replay):
    failed = {"nodeid": "t.py::b", "location": ["t.py", 5, "b"], "keywords": {}, "outcome": "failed",
              "longrepr": "assert 0", "when": "call", "sections": [], "duration": 0.1, "user_properties": [], "$report_type": "TestReport"}  # fmt: skip
    for record in (
        {"event": "collection", "count": 2, "workers": 2},
        {"event": "start", "nodeid": "t.py::a"},
        {"event": "report", "index": 0, "passing": passing("t.py::a", "setup")},
        {"event": "report", "index": 1, "report": failed},
        {"event": "report", "index": 0, "passing": passing("t.py::a", "call", "teardown")},
        {"event": "finish", "nodeid": "t.py::a", "location": ["t.py", 1, "a"]},
        {"event": "finish", "nodeid": "t.py::b", "location": ["t.py", 5, "b"]},
        {"event": "finish", "nodeid": "t.py::never-started"},
        {"event": "something-new", "nodeid": "t.py::a"},
    ):
        replay.handle(record)
    assert replay.session.testscollected == 2
    assert replay.recorder.calls == [
        ("start", "t.py::a"), ("setup", "t.py::a", "passed"),
        ("start", "t.py::b"), ("call", "t.py::b", "failed"),
        ("call", "t.py::a", "passed"), ("teardown", "t.py::a", "passed"),
        ("finish", "t.py::a"), ("finish", "t.py::b"),
    ]  # fmt: skip
    # pytest's terminal reporter keeps every finished node id for the whole
    # run: one string per test, the reports' own, and one location tuple.
    a_reports = [r for r in replay.recorder.reports if r.nodeid == "t.py::a"]
    assert replay.recorder.finished[0] is a_reports[0].nodeid
    assert a_reports[1].location is a_reports[2].location == ("t.py", 1, "t.py::a")


def summary_line(states, **counts):
    tests = [{"attempts": 1, "nodeid": f"t.py::{name}", "state": state} for name, state in states]
    record = dict(counts, collected=len(tests), event="summary", exit_code=3, failed=1, tests=tests,
                  elapsed=2.5, wall_seconds=2.0)  # fmt: skip
    return json.dumps(record, sort_keys=True, separators=(",", ":")).encode()


def test_summary_keeps_only_the_tests_no_record_ended(replay):
    replay.handle({"event": "collection", "count": 4, "workers": 2})
    replay.handle({"event": "report", "index": 0, "passing": passing("t.py::a", "setup", "call", "teardown")})
    replay.handle({"event": "finish", "index": 0, "nodeid": "t.py::a", "location": ["t.py", 1, "a"]})
    replay.handle({"event": "interrupted", "nodeid": "t.py::c", "location": ["t.py", 3, "c"], "worker": "av1",
                   "phase": "call", "reason": "worker av1 died", "duration": 0.5})  # fmt: skip
    states = [("a", "completed"), ("b", "pending"), ("c", "interrupted"), ("d", "interrupted")]
    line = summary_line(states, completed=1, interrupted=2, not_run=1)
    for raw in (line, line + b"\r", bytearray(line)):
        replay.unended = []
        replay.handle_line(raw)
        assert replay.unended == ["t.py::b", "t.py::d"], "a test in flight at the end has no record of its own"
        assert replay.summary["exit_code"] == 3 and "tests" not in replay.summary
    replay.handle(json.loads(line))
    assert replay.unended == ["t.py::b", "t.py::d"], "a record as a dict reads the same"

    done = summary_line([("a", "completed")], completed=1, interrupted=0, not_run=0)
    replay.handle_line(done)
    assert replay.unended == [] and replay.summary["completed"] == 1


def test_interrupted_test_fails_with_the_tail_of_its_worker_log(replay, tmp_path):
    (tmp_path / "worker-1.log").write_text("".join(f"line {n}\n" for n in range(100)) + "Segmentation fault\n")
    replay.handle({"event": "interrupted", "nodeid": "t.py::c", "location": ["t.py", 9, "c"], "worker": "av1",
                   "phase": "call", "reason": "worker av1 died (signal 11)", "duration": 1.5})  # fmt: skip
    assert replay.recorder.calls == [("start", "t.py::c"), ("call", "t.py::c", "failed"), ("finish", "t.py::c")]
    text = replay.recorder.last.longreprtext
    assert text.startswith("worker av1 died (signal 11)")
    assert "Segmentation fault" in text and "line 99" in text and "line 50" not in text
    assert replay.recorder.last.duration == 1.5


def test_collection_problems_count_once_and_lines_pass_through(replay, capsys):
    error = {"nodeid": "t_bad.py", "outcome": "failed", "longrepr": "ImportError", "result": [], "sections": []}
    for worker in ("av0", "av1"):
        replay.handle({"event": "collection_report", "worker": worker, "report": dict(error, **{"$report_type": "CollectReport"})})
    replay.handle_line(json.dumps({"event": "diagnostic", "message": "worker manifests differ"}).encode() + b"\n")
    replay.handle_line(json.dumps({"event": "warning", "message": "Duration history not saved: x"}).encode() + b"\n")
    replay.handle_line(b"not a record\n")
    replay.handle_line(b"[1, 2]\n")
    replay.handle_line(b'{"collected":0,"tests":[}\n')  # broken: shown as it is
    replay.handle({"event": "summary", "passed": 0})
    assert replay.collection_errors == 1
    assert replay.recorder.calls == [("collect", "t_bad.py", "failed")]
    assert replay.problems == ["worker manifests differ", "Duration history not saved: x"]
    assert replay.end_reason() == "worker manifests differ"  # a warning does not say why a run ended
    assert replay.summary == {"event": "summary", "passed": 0}
    err = capsys.readouterr().err
    assert "not a record" in err and "[1, 2]" in err and '"tests":[}' in err
    assert "aurvane: worker manifests differ" in err and "aurvane: Duration history not saved: x" in err


class ApiDeprecation(DeprecationWarning):
    """A warning class whose constructor wants more than the message, and whose text comes from it."""

    def __init__(self, message, *, since):
        super().__init__(message)
        self.text = f"{message} (since {since})"

    def __str__(self):
        return self.text


class Unprintable(UserWarning):
    """Neither made nor printed without its constructor's work, nor subclassed."""

    def __init__(self, code):
        self.code = code

    def __str__(self):
        return f"E{self.code}"

    def __init_subclass__(cls, **kwargs):
        raise RuntimeError("no subclasses")


class Recorded:
    def __init__(self):
        self.warnings = []

    def pytest_warning_recorded(self, warning_message, when, nodeid, location):
        self.warnings.append(warning_message)


def warning_record(category, message):
    data = {"message": message, "category": [__name__, category.__qualname__], "filename": "t.py", "lineno": 3,
            "line": None, "when": "runtest", "nodeid": "t.py::a", "location": ["t.py", 1, "a"]}  # fmt: skip
    return {"event": "report", "index": 0, "warning": data}


def test_warnings_of_classes_with_their_own_constructor_replay_and_a_failing_record_costs_itself(replay, capsys):
    recorded = Recorded()
    replay.config.pluginmanager.register(recorded, "recorded")
    replay.handle(warning_record(ApiDeprecation, "old api (since 1.2)"))
    replay.handle(warning_record(Unprintable, "E7"))
    shown = [(w.category.__name__, str(w.message), isinstance(w.message, w.category)) for w in recorded.warnings]
    assert shown == [("ApiDeprecation", "old api (since 1.2)", True), ("Unprintable", "E7", True)]
    assert issubclass(recorded.warnings[0].category, ApiDeprecation)

    class Raising:
        def pytest_runtest_logreport(self, report):
            if report.nodeid == "t.py::bad":
                raise ValueError("plugin broke")

    replay.config.pluginmanager.register(Raising(), "raising")
    replay.handle({"event": "report", "index": 0, "passing": passing("t.py::bad", "setup")})
    replay.handle({"event": "report", "index": 1, "passing": passing("t.py::good", "setup")})
    assert ("setup", "t.py::good", "passed") in replay.recorder.calls
    assert replay.replay_errors == 1
    assert replay.problems == ["a report record of t.py::bad could not be replayed: ValueError: plugin broke"]
    assert "plugin broke" in capsys.readouterr().err

    class Exiting:
        def pytest_runtest_logreport(self, report):
            pytest.exit("enough", returncode=7)

    replay.config.pluginmanager.register(Exiting(), "exiting")
    with pytest.raises(pytest.exit.Exception):
        replay.handle({"event": "report", "index": 2, "passing": passing("t.py::last", "setup")})
