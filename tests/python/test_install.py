"""The package as users install it: the wheel with its controller, and how the front end finds one."""

import os
import shutil
import struct
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

from conftest import INSTALLED, REPO_ROOT

# What a wheel build needs from the checkout when the controller is given prebuilt.
_PACKAGE_FILES = ("setup.py", "pyproject.toml", "README.md", "LICENSE", "python")


def build_wheel(tmp_path, program):
    source = tmp_path / "src"
    source.mkdir()
    for name in _PACKAGE_FILES:
        path = REPO_ROOT / name
        if path.is_dir():
            shutil.copytree(path, source / name, ignore=shutil.ignore_patterns("__pycache__", "*.egg-info"))
        else:
            shutil.copy2(path, source / name)
    env = dict(os.environ, AURVANE_PREBUILT_CONTROLLER=str(program))
    result = subprocess.run(
        [sys.executable, "-m", "build", "--no-isolation", "--wheel", "--outdir", str(tmp_path / "dist"), str(source)],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout
    (wheel,) = (tmp_path / "dist").glob("*.whl")
    return wheel


def fake_windows_program(path, machine=0x8664):
    """The first bytes of a PE executable: enough for the wheel's platform tag."""
    head = bytearray(512)
    head[:2] = b"MZ"
    struct.pack_into("<I", head, 0x3C, 0x80)
    head[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<H", head, 0x84, machine)
    path.write_bytes(bytes(head))
    return path


@pytest.mark.skipif(INSTALLED, reason="builds its own wheel from the checkout")
def test_wheel_installs_and_runs_a_suite_without_settings(tmp_path, real_controller):
    wheel = build_wheel(tmp_path, real_controller)
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    assert wheel.name == f"pytest_aurvane-0.1.0-py3-none-{platform}.whl"
    with zipfile.ZipFile(wheel) as archive:
        info = archive.getinfo("pytest_aurvane/bin/aurvane-controller")
        assert (info.external_attr >> 16) & 0o111, "the program keeps its executable bit"
        assert "Root-Is-Purelib: false" in archive.read("pytest_aurvane-0.1.0.dist-info/WHEEL").decode()
        # What a package index and pip show users.
        metadata = archive.read("pytest_aurvane-0.1.0.dist-info/METADATA").decode()
        for field in ("License: MIT", "Classifier: License :: OSI Approved :: MIT License",
                      "Summary: Run a pytest suite in parallel", "Author: Aurvane developers"):
            assert field in metadata, metadata[:2000]
        assert "Copyright (c) 2026 Aurvane developers" in archive.read("pytest_aurvane-0.1.0.dist-info/LICENSE").decode()

    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True, timeout=120)
    # As on a machine with Python alone: no build tree, no compiler needed,
    # no settings of ours.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "AURVANE_CONTROLLER", "PYTEST_ADDOPTS")}
    env["PATH"] = os.pathsep.join((str(venv / "bin"), "/usr/bin", "/bin"))
    pip = [str(venv / "bin" / "python"), "-m", "pip", "install", "--quiet", "--no-index", str(wheel)]
    subprocess.run(pip, check=True, env=env, timeout=300)

    examples = tmp_path / "examples"
    shutil.copytree(REPO_ROOT / "examples", examples, ignore=shutil.ignore_patterns("__pycache__", ".pytest_cache"))
    result = subprocess.run(
        # Debian's pytest is seen from the environment; its pytest command
        # would run the system interpreter, which does not see the install.
        [str(venv / "bin" / "python"), "-m", "pytest", "--aurvane=2", "-p", "no:cacheprovider"],
        cwd=str(examples),
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout
    assert "collected by 2 workers" in result.stdout, result.stdout
    where = subprocess.run(
        [str(venv / "bin" / "python"), "-c", "from pytest_aurvane.frontend.locate import find_controller; print(find_controller(None))"],
        env=env, stdout=subprocess.PIPE, text=True, check=True,
    ).stdout.strip()
    assert Path(where).is_relative_to(venv), "the run used the packaged controller"
    version = subprocess.run(
        [str(venv / "bin" / "python"), "-c", "import pytest_aurvane; print(pytest_aurvane.__version__)"],
        env=env, stdout=subprocess.PIPE, text=True, check=True,
    ).stdout.strip()
    assert version == "0.1.0"
    # The controller was built from the same version (CMakeLists.txt).
    said = subprocess.run([where, "--version"], stdout=subprocess.PIPE, text=True, check=True).stdout
    assert said == f"aurvane-controller {version}\n"


@pytest.mark.skipif(INSTALLED, reason="installs its own copy of the checkout")
def test_editable_install_carries_the_controller(tmp_path, real_controller):
    # pip install -e imports the package from the checkout itself, so the
    # program must land there, not in a build folder no path leads to.
    source = tmp_path / "src"
    source.mkdir()
    for name in _PACKAGE_FILES:
        path = REPO_ROOT / name
        if path.is_dir():
            shutil.copytree(path, source / name, ignore=shutil.ignore_patterns("__pycache__", "*.egg-info", "bin"))
        else:
            shutil.copy2(path, source / name)
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True, timeout=120)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "AURVANE_CONTROLLER", "PYTEST_ADDOPTS")}
    env["AURVANE_PREBUILT_CONTROLLER"] = str(real_controller)
    python = str(venv / "bin" / "python")
    pip = [python, "-m", "pip", "install", "--quiet", "--no-index", "--no-build-isolation", "-e", str(source)]
    subprocess.run(pip, check=True, env=env, cwd=str(tmp_path), timeout=300)
    del env["AURVANE_PREBUILT_CONTROLLER"]
    where = subprocess.run(
        [python, "-c", "from pytest_aurvane.frontend.locate import find_controller; print(find_controller(None))"],
        env=env, cwd=str(tmp_path), stdout=subprocess.PIPE, text=True, check=True,
    ).stdout.strip()
    assert Path(where) == source / "python" / "pytest_aurvane" / "bin" / "aurvane-controller"


@pytest.mark.skipif(INSTALLED, reason="builds its own wheel from the checkout")
def test_windows_program_gives_a_windows_wheel(tmp_path):
    wheel = build_wheel(tmp_path, fake_windows_program(tmp_path / "aurvane-controller.exe"))
    assert wheel.name == "pytest_aurvane-0.1.0-py3-none-win_amd64.whl"
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    assert "pytest_aurvane/bin/aurvane-controller.exe" in names
    assert "pytest_aurvane/bin/aurvane-controller" not in names, "nothing of an earlier build is left"


def test_controller_lookup_order(tmp_path, monkeypatch):
    from pytest_aurvane.frontend import locate

    def program(name):
        path = tmp_path / name / locate.PROGRAM
        path.parent.mkdir()
        path.write_text("#!/bin/sh\n")
        path.chmod(0o755)
        return str(path)

    explicit, from_env, packaged, on_path = (program(n) for n in ("explicit", "env", "packaged", "path"))
    monkeypatch.setenv("PATH", str(Path(on_path).parent))
    monkeypatch.setenv("AURVANE_CONTROLLER", from_env)
    monkeypatch.setattr(locate, "packaged_controller", lambda: packaged)
    assert locate.find_controller(explicit) == explicit
    assert locate.find_controller(None) == from_env
    monkeypatch.delenv("AURVANE_CONTROLLER")
    assert locate.find_controller(None) == packaged
    monkeypatch.setattr(locate, "packaged_controller", lambda: None)
    assert locate.find_controller(None) == on_path
    # A name is looked up on PATH; a wrong explicit choice is not passed over.
    assert locate.find_controller(locate.PROGRAM) == on_path
    with pytest.raises(pytest.UsageError, match="not found or not executable: /nowhere"):
        locate.find_controller("/nowhere")
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    with pytest.raises(pytest.UsageError, match="pip install"):
        locate.find_controller(None)
