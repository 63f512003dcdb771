"""Pages as headless Chromium builds them."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest


def chromium() -> str:
    path = shutil.which("chromium")
    if path is None:
        if os.environ.get("CI") == "true":
            pytest.fail("chromium is missing in CI: .ci/run installs Debian's chromium package")
        pytest.skip("chromium is not installed (Debian: apt-get install chromium)")
    return path


def rendered(url: str, profile_dir: Path, *flags: str) -> str:
    """The page's DOM once loaded, its scripts run (`flags` go to Chromium)."""
    done = subprocess.run([chromium(), "--headless", "--no-sandbox", "--disable-gpu",
                           f"--user-data-dir={profile_dir}", *flags, "--dump-dom", url],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout
