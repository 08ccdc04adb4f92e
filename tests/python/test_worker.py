"""The worker module on its own, driven over its pipes by a stand-in controller."""

import json


BASIC_SUITE = {
    "test_a.py": """
        import pytest

        def test_pass():
            pass

        def test_fail():
            assert 1 == 2

        @pytest.mark.xdist_group("db")
        def test_grouped():
            pass

        @pytest.mark.xdist_group(name="db")
        def test_grouped_by_keyword():
            pass
    """,
    "sub/test_b.py": """
        import pytest

        class TestThing:
            @pytest.mark.parametrize("value", [1, "x::y"])
            def test_param(self, value):
                pass
    """,
}


def reports_of(messages):
    """The serialised reports in "report" messages, single, bundled or short, in order."""
    reports = []
    for m in messages:
        if m["event"] != "report":
            continue
        if "passing" in m:
            shared = {key: value for key, value in m["passing"].items() if key != "phases"}
            for when, duration in m["passing"]["phases"]:
                reports.append(dict(shared, when=when, duration=duration, outcome="passed"))
        else:
            reports.extend(m["reports"] if "reports" in m else [m["report"]])
    return reports


def phases_and_reports(messages):
    phases = [m["phase"] for m in messages if m["event"] == "phase"]
    reports = [(r["when"], r["outcome"]) for r in reports_of(messages)]
    return phases, reports


def test_manifest_has_positions_locations_and_groups(worker):
    harness = worker(BASIC_SUITE)
    reports, collected = harness.start()
    assert reports == []
    assert collected["failed"] is False
    assert collected["items"] == [
        {"index": 0, "nodeid": "test_a.py::test_pass", "location": ["test_a.py", 3, "test_pass"], "group": "test_a.py"},
        {"index": 1, "nodeid": "test_a.py::test_fail", "location": ["test_a.py", 6, "test_fail"], "group": "test_a.py"},
        {"index": 2, "nodeid": "test_a.py::test_grouped", "location": ["test_a.py", 9, "test_grouped"], "group": "db"},
        {
            "index": 3,
            "nodeid": "test_a.py::test_grouped_by_keyword",
            "location": ["test_a.py", 13, "test_grouped_by_keyword"],
            "group": "db",
        },
        {
            "index": 4,
            "nodeid": "sub/test_b.py::TestThing::test_param[1]",
            "location": ["sub/test_b.py", 4, "TestThing.test_param[1]"],
            "group": "sub/test_b.py",
        },
        {
            "index": 5,
            "nodeid": "sub/test_b.py::TestThing::test_param[x::y]",
            "location": ["sub/test_b.py", 4, "TestThing.test_param[x::y]"],
            "group": "sub/test_b.py",
        },
    ]
    assert harness.shutdown() == {"event": "exited", "code": 0, "workeroutput": {"exitstatus": 0}}


def test_run_reports_each_phase_then_finished(worker):
    harness = worker(BASIC_SUITE)
    harness.start()
    passing = harness.run(0, 1)
    assert [m["index"] for m in passing] == [0] * len(passing)
    assert phases_and_reports(passing) == (
        ["setup", "call", "teardown"],
        [("setup", "passed"), ("call", "passed"), ("teardown", "passed")],
    )
    # Every phase is announced as it starts, so its deadline restarts in
    # time; a passing test's reports travel together, just before "finished".
    assert [m["event"] for m in passing] == ["phase"] * 3 + ["report", "finished"]
    # They say nothing but their phase and duration: the short form.
    short = passing[3]["passing"]
    assert short["nodeid"] == "test_a.py::test_pass" and short["location"] == ["test_a.py", 3, "test_pass"]
    assert "test_pass" in short["keywords"]
    assert [when for when, duration in short["phases"]] == ["setup", "call", "teardown"]
    finished = passing[-1]
    assert finished["failed"] is False and isinstance(finished["duration"], float)

    failing = harness.run(1)
    assert phases_and_reports(failing)[1][1] == ("call", "failed")
    assert failing[-1]["failed"] is True
    # A failing report is not held back to the end: it leaves before teardown starts.
    assert [m["event"] for m in failing] == ["phase", "phase", "report", "report", "phase", "report", "finished"]
    assert [r["when"] for r in reports_of(failing[2:3])] == ["setup"]
    call_report = failing[3]["report"]
    assert call_report["$report_type"] == "TestReport"
    assert "assert 1 == 2" in json.dumps(call_report["longrepr"])
    # A run with a failed test ends with pytest's "tests failed" code.
    assert harness.shutdown() == {"event": "exited", "code": 1, "workeroutput": {"exitstatus": 1}}


def test_passing_reports_with_more_to_say_travel_in_full(worker):
    harness = worker(
        {
            "test_more.py": """
                import pytest

                def test_property_and_output(record_property):
                    record_property("size", 3)
                    print("said more")

                def test_marker_added_while_running(request):
                    request.applymarker(pytest.mark.slow)
            """
        }
    )
    harness.start()
    said = harness.run(0, 1)
    assert [m["event"] for m in said] == ["phase"] * 3 + ["report", "finished"]
    setup, call, teardown = said[3]["reports"]
    assert call["user_properties"] == [["size", 3]] and "said more" in str(call["sections"])
    # Reports of one test whose keywords differ cannot share them.
    marked = [m for m in harness.run(1) if "warning" not in m]  # the unregistered mark warns
    assert "passing" not in marked[3]
    assert ["slow" in r["keywords"] for r in marked[3]["reports"]] == [False, True, True]
    assert harness.shutdown()["code"] == 0


def test_setup_error_skip_and_xfail_outcomes(worker):
    harness = worker(
        {
            "test_outcomes.py": """
                import pytest

                @pytest.fixture
                def broken():
                    raise RuntimeError("no database")

                def test_setup_error(broken):
                    pass

                @pytest.mark.skip(reason="not here")
                def test_skipped():
                    pass

                @pytest.mark.xfail(reason="known")
                def test_xfail():
                    assert False

                @pytest.mark.xfail(strict=True)
                def test_xpass_strict():
                    pass
            """
        }
    )
    harness.start()
    setup_error = harness.run(0)
    assert phases_and_reports(setup_error) == (["setup", "teardown"], [("setup", "failed"), ("teardown", "passed")])
    assert setup_error[-1]["failed"] is True
    assert harness.run(1)[-1]["failed"] is False
    xfail = harness.run(2)
    assert phases_and_reports(xfail)[1][1] == ("call", "skipped")
    assert xfail[-1]["failed"] is False, "an expected failure does not fail the test"
    assert harness.run(3)[-1]["failed"] is True, "a strict xpass fails the test"
    assert harness.shutdown()["code"] == 1


def test_announced_next_test_keeps_module_fixture_alive(worker, tmp_path):
    harness = worker(
        {
            "test_mod.py": """
                import pytest

                @pytest.fixture(scope="module")
                def resource():
                    with open("events.txt", "a") as f:
                        f.write("setup\\n")
                    yield
                    with open("events.txt", "a") as f:
                        f.write("teardown\\n")

                def test_1(resource):
                    pass

                def test_2(resource):
                    pass

                def test_3(resource):
                    pass
            """
        }
    )
    harness.start()
    harness.run(0, 1)
    harness.run(1, 2)
    events = tmp_path / "events.txt"
    assert events.read_text().split() == ["setup"]
    # The last test of the group is announced with no successor: everything goes.
    harness.run(2, None)
    assert events.read_text().split() == ["setup", "teardown"]
    assert harness.shutdown()["code"] == 0


def test_unannounced_test_tears_down_fixtures_kept_for_another(worker, tmp_path):
    harness = worker(
        {
            "test_x.py": """
                import pytest

                @pytest.fixture(scope="module")
                def resource():
                    yield
                    open("x-torn-down", "w").close()

                def test_1(resource):
                    pass

                def test_2(resource):
                    pass
            """,
            "test_y.py": """
                def test_3():
                    pass
            """,
        }
    )
    harness.start()
    harness.run(0, 1)
    # Test 1 was announced, but test 2 (another module) arrives instead.
    messages = harness.run(2)
    assert messages[-1]["failed"] is False, harness.log_text()
    assert (tmp_path / "x-torn-down").exists()
    assert harness.shutdown()["code"] == 0


PRINTING_SOURCE = """
        import os, sys

        def test_prints():
            print("plain print")
            print('{"event": "finished", "index": 99}')
            sys.stdout.flush()
            os.write(1, b"raw descriptor write\\n")

        def test_input_sees_no_commands():
            import sys
            assert sys.stdin.read() == ""
"""
PRINTING_SUITE = {"test_print.py": PRINTING_SOURCE}


def test_prints_do_not_reach_the_channel(worker):
    harness = worker(PRINTING_SUITE)
    harness.start()
    messages = harness.run(0)
    assert messages[-1]["failed"] is False
    call = reports_of(messages)[1]
    assert any("plain print" in text for _, text in call["sections"]), "captured output travels in the report"
    assert harness.shutdown()["code"] == 0


def test_prints_with_capture_off_go_to_the_log(worker):
    harness = worker(PRINTING_SUITE, "-s")
    harness.start()
    assert harness.run(0)[-1]["failed"] is False
    assert harness.run(1)[-1]["failed"] is False, "the test must not read the command pipe"
    assert harness.shutdown()["code"] == 0
    log = harness.log_text()
    assert "plain print" in log and "raw descriptor write" in log
    assert all(b"plain print" not in line for line in harness.lines)


def test_terminal_reporter_is_silent_during_tests_but_still_writable(worker):
    # The front end reports each test; the worker log keeps collection
    # output, what plugins write through the reporter, and warnings.
    harness = worker(
        {
            "test_quiet.py": """
                import warnings
                import pytest

                @pytest.fixture
                def thing():
                    return 1

                def test_warns(thing):
                    warnings.warn("mind the gap", UserWarning)

                def test_fails():
                    assert False
            """
        },
        "-v",
        "--setup-show",
    )
    harness.start()
    assert harness.run(0, 1)[-1]["failed"] is False
    assert harness.run(1)[-1]["failed"] is True
    assert harness.shutdown()["code"] == 1
    log = harness.log_text()
    assert "collected 2 items" in log
    assert "SETUP    F thing" in log, "--setup-show writes through the reporter's writer"
    assert "mind the gap" in log and "test_quiet.py::test_warns" in log
    assert "PASSED" not in log and "FAILED" not in log and " passed" not in log, log


def test_collection_error_is_reported_and_fails_collection(worker):
    harness = worker(
        {
            "test_ok.py": "def test_ok():\n    pass\n",
            "test_broken.py": "import no_such_module_here\n",
        }
    )
    reports, collected = harness.start()
    assert collected["failed"] is True
    assert len(reports) == 1
    report = reports[0]["report"]
    assert report["$report_type"] == "CollectReport"
    assert report["nodeid"] == "test_broken.py" and report["outcome"] == "failed"
    assert "no_such_module_here" in harness.log_text(), "errors are visible in the worker log"
    harness.shutdown()


def test_empty_suite_exits_with_no_tests_code(worker):
    harness = worker({"test_none.py": "X = 1\n"})
    _, collected = harness.start()
    assert collected["count"] == 0 and collected["items"] == [] and collected["failed"] is False
    assert harness.shutdown() == {"event": "exited", "code": 5, "workeroutput": {"exitstatus": 5}}


def test_equal_collections_report_equal_digests(worker):
    # The controller takes a later worker's manifest on its digest alone.
    digests = []
    for args in ((), (), ("-k", "grouped")):
        harness = worker(BASIC_SUITE, *args)
        _, collected = harness.start()
        assert collected["count"] == len(collected["items"])
        digests.append(collected["digest"])
        harness.shutdown()
    assert digests[0] == digests[1] != digests[2]


def test_pytest_args_from_spec_select_tests(worker):
    harness = worker(BASIC_SUITE, "-k", "grouped", "sub/test_b.py", "test_a.py")
    _, collected = harness.start()
    assert [i["nodeid"] for i in collected["items"]] == [
        "test_a.py::test_grouped",
        "test_a.py::test_grouped_by_keyword",
    ]
    harness.shutdown()


def test_worker_environment_is_visible_to_tests(worker):
    harness = worker(
        {
            "test_env.py": """
                import os

                def test_names(worker_id, testrun_uid):
                    assert os.environ["PYTEST_XDIST_WORKER"] == "av3"
                    assert worker_id == "av3"
                    assert testrun_uid == "run-1"

                def test_child_stops_on_sigint():
                    # The worker itself does not stop on SIGINT; what a test
                    # starts must, as under pytest.
                    import signal, subprocess
                    child = subprocess.Popen(["sleep", "60"])
                    child.send_signal(signal.SIGINT)
                    assert child.wait(timeout=20) == -signal.SIGINT
            """
        },
        name="av3",
    )
    harness.start()
    for index in (0, 1):
        messages = harness.run(index)
        assert messages[-1]["failed"] is False, messages
    harness.shutdown()


def test_pytest_exit_in_a_test_is_announced_then_an_internal_error(worker, tmp_path):
    harness = worker({"test_exit.py": "import pytest\n\ndef test_exit():\n    pytest.exit('stop now', returncode=7)\n"})
    harness.start()
    harness.send({"command": "run", "index": 0, "next": None})
    messages = []
    while (message := harness.receive()) is not None:
        messages.append(message)
    notice = messages[-2]["session_exit"]
    assert notice == {"kind": "exit", "message": "stop now", "returncode": 7,
                      "path": str(tmp_path / "test_exit.py"), "lineno": 4}  # fmt: skip
    assert messages[-1]["event"] == "internal_error"
    assert "test_exit.py::test_exit" in messages[-1]["message"] and "stop now" in messages[-1]["message"]


def test_end_of_input_ends_the_worker(worker):
    harness = worker({"test_a.py": "def test_a():\n    pass\n"})
    harness.start()
    harness.proc.stdin.close()
    assert harness.receive() is None
    assert harness.proc.wait(timeout=30) == 0


def test_bad_pytest_arguments_are_an_internal_error(worker):
    harness = worker({"test_a.py": "def test_a():\n    pass\n"}, "--no-such-option")
    harness.send({"command": "init"})
    assert harness.receive() == {"event": "hello", "protocol": 1}
    error = harness.receive()
    assert error["event"] == "internal_error" and "exit code 4" in error["message"]


def test_fixture_grouping_keeps_shared_fixtures_together_and_spreads_the_rest(worker):
    harness = worker(
        {
            "test_plain.py": """
                import pytest

                @pytest.fixture(scope="session")
                def shared_by_all():
                    return 1

                def test_a(shared_by_all):
                    pass

                def test_b(tmp_path):
                    pass

                @pytest.mark.xdist_group("db")
                def test_grouped():
                    pass

                class TestCheap:
                    def test_c(self):
                        pass

                class TestCostly:
                    @pytest.fixture(scope="class")
                    def table(self):
                        return []

                    def test_d(self, table):
                        pass

                    def test_e(self, table):
                        pass
            """,
            "test_module.py": """
                import pytest

                @pytest.fixture(scope="module", autouse=True)
                def server():
                    yield

                def test_f():
                    pass
            """,
            "test_params.py": """
                import pytest

                @pytest.mark.parametrize("n", [1, 2], scope="module")
                def test_g(n):
                    pass
            """,
        },
        spec_extra={"grouping": "fixtures"},
    )
    _, collected = harness.start()
    groups = {item["nodeid"]: item["group"] for item in collected["items"]}
    assert groups == {
        "test_module.py::test_f": "test_module.py",
        "test_params.py::test_g[1]": "test_params.py",
        "test_params.py::test_g[2]": "test_params.py",
        "test_plain.py::test_a": "test_plain.py::test_a",
        "test_plain.py::test_b": "test_plain.py::test_b",
        "test_plain.py::test_grouped": "db",
        "test_plain.py::TestCheap::test_c": "test_plain.py::TestCheap::test_c",
        "test_plain.py::TestCostly::test_d": "test_plain.py::TestCostly",
        "test_plain.py::TestCostly::test_e": "test_plain.py::TestCostly",
    }
    harness.shutdown()


def test_stack_dump_timer_dumps_before_every_phase_deadline_and_rests_while_waiting(monkeypatch):
    """The watchdog is re-armed only now and then, but for every phase the dump
    still falls between ``delay - slack`` and ``delay`` into it; waiting for the
    controller disarms it."""
    import faulthandler

    from pytest_aurvane.worker.plugin import StackDumpTimer

    armed, now = [], [0.0]
    monkeypatch.setattr(faulthandler, "dump_traceback_later", lambda delay, file: armed.append(now[0] + delay))
    monkeypatch.setattr(faulthandler, "cancel_dump_traceback_later", lambda: armed.append(None))
    timer = StackDumpTimer(270.0, None, clock=lambda: now[0])
    phases = [0.0, 0.0001, 0.3, 0.9, 1.0, 1.05, 2.5, 2.5001, 40.0]
    for start in phases:
        now[0] = start
        timer.phase_started()
        assert timer.delay - timer.slack <= armed[-1] - start <= timer.delay
    assert len(armed) < len(phases)  # quick phases did not re-arm it
    timer.disarm()
    timer.disarm()
    assert armed[-1] is None and armed.count(None) == 1


def test_a_test_sent_ahead_runs_after_the_finish_before_it(worker):
    harness = worker(BASIC_SUITE)
    harness.start()
    # Both commands are in the worker's input at once, as when the
    # controller sends a test ahead.
    harness.send({"command": "run", "index": 0, "next": 2})
    harness.send({"command": "run", "index": 2, "next": None})
    events = []
    while sum(event == "finished" for event, _, _ in events) < 2:
        message = harness.receive()
        assert message is not None, harness.log_text()
        events.append((message["event"], message.get("phase"), message["index"]))
    assert events == [
        ("phase", "setup", 0), ("phase", "call", 0), ("phase", "teardown", 0), ("report", None, 0),
        ("finished", None, 0),
        ("phase", "setup", 2), ("phase", "call", 2), ("phase", "teardown", 2), ("report", None, 2),
        ("finished", None, 2),
    ]
    assert harness.shutdown()["code"] == 0


def test_held_lines_wait_only_while_the_next_command_is_there():
    import os

    from pytest_aurvane.worker.channel import Channel

    out_r, out_w = os.pipe()
    in_r, in_w = os.pipe()
    channel = Channel(out_w, in_r)
    os.set_blocking(out_r, False)
    try:
        os.write(in_w, b'{"command": "run", "index": 1}\n')
        channel.hold(b'{"event": "finished", "index": 0}\n')
        assert channel.receive(keep_held=True) == {"command": "run", "index": 1}
        assert _nothing_to_read(out_r), "the finish waits for the next message"
        channel.send_line(b'{"event": "phase", "index": 1}\n')
        assert os.read(out_r, 4096) == b'{"event": "finished", "index": 0}\n{"event": "phase", "index": 1}\n'
        # No command there: held lines go out before the read blocks.
        channel.hold(b'{"event": "finished", "index": 1}\n')
        os.close(in_w)
        assert channel.receive(keep_held=True) is None
        assert os.read(out_r, 4096) == b'{"event": "finished", "index": 1}\n'
    finally:
        for fd in (out_r, out_w, in_r):
            os.close(fd)


def _nothing_to_read(fd):
    import os

    try:
        os.read(fd, 1)
    except BlockingIOError:
        return True
    return False


def test_a_fork_request_carries_the_environment_byte_for_byte():
    import os

    from pytest_aurvane.fork.client import HEADER, decode_request, encode_request, reply_value

    environ = {b"PLAIN": b"x", b"EQUALS": b"a=b==c", b"EMPTY": b"", b"LATIN1": b"caf\xe9", b"UTF8": "é".encode()}
    data = encode_request(b"/tmp/d\xff", environ)
    (size,) = HEADER.unpack_from(data)
    assert size == len(data) - HEADER.size
    cwd, env = decode_request(data[HEADER.size :])
    assert os.fsencode(cwd) == b"/tmp/d\xff"
    assert {os.fsencode(k): os.fsencode(v) for k, v in env.items()} == environ
    for malformed in (b"/\0NOEQUALS", b"/\0=value"):
        try:
            decode_request(malformed)
        except ValueError:
            continue
        raise AssertionError(f"{malformed!r} was taken")
    assert reply_value(b"pid 42\n", b"pid") == 42
    assert reply_value(b"exit 137\n", b"pid") is None
    assert reply_value(b"", b"exit") is None
    assert reply_value(b"exit x\n", b"exit") is None


def test_the_children_of_a_process_are_found_with_or_without_the_kernel_lists(monkeypatch):
    import os
    import subprocess
    import sys

    from pytest_aurvane.fork import server as forkserver

    if not sys.platform.startswith("linux"):
        return
    child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(30)"])
    try:
        for listed in (True, False):
            monkeypatch.setattr(forkserver, "_CHILDREN_LISTED", listed)
            assert child.pid in forkserver._children_of(os.getpid()), listed
    finally:
        child.kill()
        child.wait()
    assert child.pid not in forkserver._children_of(os.getpid())


def test_the_fork_server_reads_a_request_piece_by_piece_and_refuses_a_wrong_one():
    import os
    import socket
    import sys

    from pytest_aurvane.fork import server as forkserver
    from pytest_aurvane.fork.client import encode_request

    if not sys.platform.startswith("linux"):
        return
    data = encode_request(b"/dir", {b"A": b"1", b"B": b"x=y"})
    null = os.open(os.devnull, os.O_RDONLY)
    try:
        for fds, pieces, whole in (
            ([null] * 3, [data[:2], data[2:9], data[9:]], True),
            ([null] * 2, [data], False),  # descriptors missing
            ([null] * 3, [data[:-1], b""], False),  # cut short: the client closed
        ):
            client, server = socket.socketpair()
            server.setblocking(False)
            pending = forkserver._Pending(server, 0.0)
            socket.send_fds(client, [pieces[0]], fds)
            outcome = None
            try:
                for piece in pieces[1:] + [None]:
                    outcome = pending.take()
                    if outcome is not None or piece is None:
                        break
                    assert outcome is None and pending.fds, "taken before it was whole"
                    if piece:
                        client.send(piece)
                    else:
                        client.close()
            except ValueError:
                assert not whole, pieces
            else:
                assert whole and outcome is not None, pieces
                assert (outcome.cwd, outcome.env, len(outcome.fds)) == ("/dir", {"A": "1", "B": "x=y"}, 3)
                for fd in outcome.fds:
                    os.close(fd)
            pending.close()
            client.close()
    finally:
        os.close(null)
