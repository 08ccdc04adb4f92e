"""Where the front end finds ``aurvane-controller``.

In order: ``--aurvane-controller``, ``$AURVANE_CONTROLLER``, the program
installed inside this package (``pip install`` builds it into ``bin/``),
then ``PATH``.
"""

import os
import shutil
import sys
from pathlib import Path
from typing import Optional

import pytest

PROGRAM = "aurvane-controller.exe" if sys.platform == "win32" else "aurvane-controller"
INSTALL_HINT = (
    "install it with the plugin (pip install --no-build-isolation . in the aurvane checkout, "
    "or pip install the platform wheel), put it on PATH, set AURVANE_CONTROLLER "
    "or pass --aurvane-controller=PATH"
)


def packaged_controller() -> Optional[str]:
    """The controller installed inside this package, if this copy has one."""
    path = Path(__file__).resolve().parents[1] / "bin" / PROGRAM
    return str(path) if path.is_file() else None


def _runnable(path: str) -> bool:
    return os.path.isfile(path) and os.access(path, os.X_OK)


def find_controller(explicit: Optional[str]) -> str:
    """The absolute path of the controller to run; a usage error when there is none."""
    chosen = explicit or os.environ.get("AURVANE_CONTROLLER")
    if chosen:
        if _runnable(chosen):
            return os.path.abspath(chosen)
        found = shutil.which(chosen)
        if not found:
            raise pytest.UsageError(f"aurvane-controller not found or not executable: {chosen}")
        return os.path.abspath(found)
    packaged = packaged_controller()
    if packaged is not None:
        if not _runnable(packaged):
            raise pytest.UsageError(f"the packaged aurvane-controller is not executable: {packaged}")
        return packaged
    found = shutil.which(PROGRAM)
    if found:
        return os.path.abspath(found)
    raise pytest.UsageError(f"aurvane-controller not found: {INSTALL_HINT}")
