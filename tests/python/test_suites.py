"""Real suites from Debian's packages, unpacked with the plugins (scripts/test-plugins.sh),
each against a serial run, test by test."""

import xml.etree.ElementTree as ET
from pathlib import Path

from conftest import run_pytest


def outcomes(junit):
    """Each test's outcome in a JUnit file: passed, or the kinds of its failure, error or skip."""
    found = {}
    for case in ET.parse(junit).iter("testcase"):
        kinds = [child.tag for child in case if child.tag in ("failure", "error", "skipped")]
        found[f"{case.get('classname')}::{case.get('name')}"] = ",".join(kinds) or "passed"
    return found


def test_sympy_sets_give_serial_outcomes(tmp_path, real_controller, plugin_path):
    # Its deprecation warning's class takes keyword-only arguments and is
    # importable in the front end, which its conftest imports.
    tests = Path(plugin_path) / "sympy" / "sets" / "tests" / "test_sets.py"
    args = [str(tests), "-p", "no:cacheprovider", "-q"]
    serial = run_pytest(tmp_path, *args, f"--junitxml={tmp_path / 'serial.xml'}", path=[plugin_path])
    parallel = run_pytest(tmp_path, "--aurvane=2", *args, f"--junitxml={tmp_path / 'parallel.xml'}",
                          controller=real_controller, path=[plugin_path])  # fmt: skip
    assert "INTERNALERROR" not in parallel.stdout and parallel.returncode == serial.returncode == 0, parallel.stdout
    expected = outcomes(tmp_path / "serial.xml")
    assert len(expected) > 100 and "SymPyDeprecationWarning" in serial.stdout
    assert outcomes(tmp_path / "parallel.xml") == expected
    assert "SymPyDeprecationWarning" in parallel.stdout
