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
import shlex
import shutil
import struct
import subprocess
import sys
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
    subprocess.check_call(configure)
    jobs = str(os.cpu_count() or 1)
    subprocess.check_call([cmake, "--build", str(build_dir), "--target", PROGRAM, "-j", jobs])
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
