"""The report in a real browser: headless Chromium renders it, and the picture and the page are checked.

Skipped where no Chromium is installed (scripts/install-deps.sh installs
Debian's, as CI does).
"""

import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import REPO_ROOT, run_pytest
from pytest_aurvane.report import write_report
from pytest_aurvane.report.model import DEADLINE, PASSED
from pytest_aurvane.report.html import COLOURS

DATA = Path(__file__).parent / "data" / "report"
BROWSER = next((shutil.which(name) for name in ("chromium", "chromium-browser") if shutil.which(name)), None)

pytestmark = pytest.mark.skipif(BROWSER is None, reason="no chromium installed (scripts/install-deps.sh installs it)")


def chromium(page, *args, tmp_path):
    # A profile of its own: two tests must not share one, nor the user's.
    return subprocess.run(
        [BROWSER, "--headless", "--disable-gpu", "--no-sandbox", "--hide-scrollbars", "--enable-logging=stderr",
         "--v=0", f"--user-data-dir={tmp_path / 'profile'}", *args, page.as_uri()],
        capture_output=True, text=True, timeout=120,
    )


def console_errors(stderr):
    """Lines where the page's console reported an error or an exception went uncaught."""
    return [line for line in stderr.splitlines() if "CONSOLE" in line or "Uncaught" in line]


def pixels_of(png, colour):
    from PIL import Image

    wanted = tuple(int(colour[i : i + 2], 16) for i in (1, 3, 5))
    with Image.open(png) as image:
        rgb = image.convert("RGB")
        near = sum(count for count, value in rgb.getcolors(1 << 24) if max(abs(a - b) for a, b in zip(value, wanted)) < 8)
        lightest, darkest = rgb.convert("L").getextrema()[::-1]
    return near, darkest < lightest


def check_rendered(report, tmp_path, colours):
    png = tmp_path / (report.stem + ".png")
    shot = chromium(report, "--window-size=1280,1100", f"--screenshot={png}", tmp_path=tmp_path)
    assert png.is_file(), shot.stderr
    for colour in colours:
        near, not_blank = pixels_of(png, colour)
        assert not_blank and near > 200, (colour, near)
    dom = chromium(report, "--dump-dom", tmp_path=tmp_path)
    assert dom.returncode == 0, dom.stderr
    assert "<svg id=\"timeline\"" in dom.stdout and "<rect" in dom.stdout
    assert console_errors(shot.stderr + dom.stderr) == []


def test_the_example_suites_report_renders(tmp_path, real_controller):
    suite = tmp_path / "examples"
    shutil.copytree(REPO_ROOT / "examples", suite, ignore=shutil.ignore_patterns(".pytest_cache", "__pycache__"))
    result = run_pytest(suite, "--aurvane=2", "--aurvane-report=report.html", controller=real_controller)
    assert result.returncode == 0, result.stdout
    check_rendered(suite / "report.html", tmp_path, [COLOURS[PASSED]])


def test_a_crash_and_a_hang_render(tmp_path):
    for name in ("crash", "hang"):
        run_dir = tmp_path / name
        shutil.copytree(DATA / name, run_dir)
        write_report(run_dir, tmp_path / f"{name}.html")
    check_rendered(tmp_path / "hang.html", tmp_path, [COLOURS[PASSED], COLOURS[DEADLINE]])
    check_rendered(tmp_path / "crash.html", tmp_path, [COLOURS[PASSED]])
