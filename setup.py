"""Builds the pytest plugin together with its controller.

``pip install .`` and ``python3 -m build --wheel`` run CMake on this checkout
and put ``aurvane-controller`` inside the package, in ``pytest_aurvane/bin``,
where the front end finds it without any setting. The wheel is tagged
``py3-none-PLATFORM``: the controller talks to Python only through processes
and pipes, so any Python 3 on that platform can use it.

Environment variables for packagers:

  AURVANE_CMAKE_ARGS           extra CMake configure arguments, split as a
                               shell would (for instance
                               -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake)
  AURVANE_PREBUILT_CONTROLLER  package this built controller instead of
                               building one (scripts/build-wheel.sh windows)

The wheel's platform follows the packaged program: a Windows executable
gives win_amd64 (or win32, win_arm64), anything else this machine's platform.
"""

import hashlib
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import time
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # without the wheel package only sdists and pip's legacy paths need us
    bdist_wheel = None

TOP = Path(__file__).resolve().parent
PACKAGE = "pytest_aurvane"
PROGRAM = "aurvane-controller"
# Machine field of a PE header, and the wheel platform it runs on.
_PE_PLATFORMS = {0x8664: "win_amd64", 0x014C: "win32", 0xAA64: "win_arm64"}


def pe_platform(path):
    """The wheel platform of a Windows executable, or None for any other file."""
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
    except OSError:
        return None
    if len(head) < 0x40 or head[:2] != b"MZ":
        return None
    (offset,) = struct.unpack_from("<I", head, 0x3C)
    if offset + 6 > len(head) or head[offset : offset + 4] != b"PE\0\0":
        return None
    (machine,) = struct.unpack_from("<H", head, offset + 4)
    return _PE_PLATFORMS.get(machine)


# How long the build takes where it was measured: 2 cores, Debian 12, GCC 12.
BUILD_MINUTES = "4 to 7 minutes on 2 cores, less on more"
# ninja's "[3/58]" and make's "[ 5%]" at the start of a progress line.
_NINJA_STEP = re.compile(r"^\[(\d+)/(\d+)\]")
_MAKE_STEP = re.compile(r"^\[\s*(\d+)%\]")


def terminal():
    """The terminal pip was started on, open for writing, or None.

    pip shows only a spinner while a package builds, and keeps what the build
    prints, on standard output and standard error alike, to itself unless it
    is given -v: minutes of compiling would look like a hang. The build's
    process still has the terminal, so progress is written there. Nothing is
    written when standard output is the terminal already (a build run
    directly), nor where there is none (CI: pip -v shows the build's output).
    """
    if os.name == "nt":
        return None
    try:
        if sys.stdout.isatty():
            return None
        return open("/dev/tty", "w", encoding="utf-8", errors="replace")
    except OSError:
        return None


class Progress:
    """Lines on the terminal, each on a line of its own under pip's spinner."""

    def __init__(self, tty):
        self.tty = tty
        self.started = time.monotonic()
        self.shown = -1
        self.first = True

    def say(self, text):
        if self.tty is None:
            return
        # pip's spinner sits at the end of its line: the first line starts
        # below it, each next one overwrites the spinner drawn since.
        self.tty.write(("\n" if self.first else "\r") + f"  pytest-aurvane: {text}\n")
        self.tty.flush()
        self.first = False

    def line(self, text):
        """One line of the build's output: a step of ten percent is shown."""
        ninja, make = _NINJA_STEP.match(text), _MAKE_STEP.match(text)
        if ninja:
            done, total = int(ninja.group(1)), int(ninja.group(2))
            percent = 100 * done // max(total, 1)
        elif make:
            percent = int(make.group(1))
        else:
            return
        if percent // 10 > self.shown:
            self.shown = percent // 10
            elapsed = int(time.monotonic() - self.started)
            self.say(f"compiling aurvane-controller: {percent:3d} % after {elapsed // 60}:{elapsed % 60:02d}")


def run_shown(command, progress):
    """Runs `command`, passing its output on (pip -v shows it) and its progress to the terminal."""
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          errors="replace") as process:
        for text in process.stdout:
            sys.stdout.write(text)
            progress.line(text)
        sys.stdout.flush()
    if process.returncode != 0:
        raise subprocess.CalledProcessError(process.returncode, command)


def cmake_build(build_dir, extra):
    """Configures and builds the controller in build_dir; returns the program's path."""
    cmake = shutil.which("cmake")
    if cmake is None:
        sys.exit(
            "building pytest-aurvane needs CMake 3.20 or later, a C++20 compiler and the RapidJSON "
            "headers (Debian: scripts/install-deps.sh); or set AURVANE_PREBUILT_CONTROLLER to a built "
            f"{PROGRAM}"
        )
    configure = [cmake, "-S", str(TOP), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
                 "-DAURVANE_TESTS=OFF", "-DAURVANE_BENCH=OFF"]
    cache = build_dir / "CMakeCache.txt"
    if shutil.which("ninja") and not cache.exists():
        configure += ["-G", "Ninja"]
    if os.name != "nt" and sys.platform != "darwin":
        # GCC and Clang on Linux, or mingw-w64: the wheel then runs on
        # distributions with an older libstdc++ than this machine's.
        configure.append("-DAURVANE_STATIC_RUNTIME=ON")
    configure += extra
    tty = terminal()
    progress = Progress(tty)
    progress.say(f"compiling aurvane-controller (C++20) into the package: {BUILD_MINUTES}")
    try:
        run_shown(configure, progress)
        jobs = str(os.cpu_count() or 1)
        run_shown([cmake, "--build", str(build_dir), "--target", PROGRAM, "-j", jobs], progress)
        elapsed = int(time.monotonic() - progress.started)
        progress.say(f"aurvane-controller built in {elapsed // 60}:{elapsed % 60:02d}")
    finally:
        if tty is not None:
            tty.close()
    for name in (PROGRAM, PROGRAM + ".exe"):
        if (build_dir / name).is_file():
            return build_dir / name
    sys.exit(f"the CMake build in {build_dir} made no {PROGRAM}")


class BuildWithController(build_py):
    """Copies the Python package, then builds the controller into its bin folder."""

    def run(self):
        target = Path(self.build_lib) / PACKAGE
        # The build folder outlives builds: drop modules and programs that a
        # previous build left, so that the wheel holds exactly this tree.
        shutil.rmtree(target, ignore_errors=True)
        super().run()
        prebuilt = os.environ.get("AURVANE_PREBUILT_CONTROLLER")
        if prebuilt:
            program = Path(prebuilt).resolve()
            if not program.is_file():
                sys.exit(f"AURVANE_PREBUILT_CONTROLLER names no file: {prebuilt}")
        else:
            # Beside setuptools' own build folders; kept for the next build.
            base = Path(self.get_finalized_command("build").build_base).resolve()
            extra = shlex.split(os.environ.get("AURVANE_CMAKE_ARGS", ""))
            # Another toolchain needs a CMake tree of its own.
            tag = "-" + hashlib.sha1("\0".join(extra).encode()).hexdigest()[:8] if extra else ""
            program = cmake_build(base / f"controller{tag}", extra)
        name = PROGRAM + ".exe" if program.suffix == ".exe" or pe_platform(program) else PROGRAM
        if getattr(self, "editable_mode", False):
            # An editable install imports the package from the checkout, so
            # the program goes beside the modules there, as an in-place
            # build of an extension module would; the build folder is not
            # on any path.
            bin_dir = TOP / "python" / PACKAGE / "bin"
        else:
            bin_dir = target / "bin"
        bin_dir.mkdir(parents=True, exist_ok=True)
        shutil.copy2(program, bin_dir / name)
        os.chmod(bin_dir / name, 0o755)


class BinaryDistribution(Distribution):
    """Installs to the platform's library folder, as a package with a program inside must."""

    def has_ext_modules(self):
        return True


commands = {"build_py": BuildWithController}

if bdist_wheel is not None:

    class PlatformWheel(bdist_wheel):
        """A wheel for one platform that any Python 3 there can install."""

        def get_tag(self):
            platform = super().get_tag()[2]
            # Called after the build: the packaged program tells the platform.
            bin_dir = Path(self.bdist_dir) / PACKAGE / "bin"
            for program in sorted(bin_dir.glob(PROGRAM + "*")) if bin_dir.is_dir() else ():
                platform = pe_platform(program) or platform
            return "py3", "none", platform

    commands["bdist_wheel"] = PlatformWheel


setup(
    distclass=BinaryDistribution,
    cmdclass=commands,
    # setuptools' own build folders stay apart from the CMake trees in build/.
    options={"build": {"build_base": "build/python"}},
)
