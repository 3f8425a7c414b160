"""pip installs the package offline into a fresh virtual environment, and it works from there."""
from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

from conftest import PACKAGE_ROOT
from velkor import ENVIRONMENT_VARIABLE

CHECK = """
import pathlib, sys, velkor
package = pathlib.Path(velkor.__file__).parent
assert pathlib.Path(sys.prefix) in package.parents, package
assert (package / "py.typed").is_file()
print(velkor.Session().serial_text(0x8D0123))
"""


def test_pip_installs_into_a_fresh_venv(tmp_path: Path, library_path: Path) -> None:
    # The system's setuptools and wheel build it: nothing is fetched.
    missing = [name for name in ("setuptools", "wheel") if importlib.util.find_spec(name) is None]
    assert not missing, f"{sys.executable} lacks {missing} to build the package offline (Debian: python3-pip)"
    # A copy, since pip builds in the source folder.
    source = tmp_path / "source"
    shutil.copytree(PACKAGE_ROOT, source, ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python = venv / ("Scripts" if sys.platform == "win32" else "bin") / "python"
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    env.update({"PIP_NO_INDEX": "1", "PIP_DISABLE_PIP_VERSION_CHECK": "1", ENVIRONMENT_VARIABLE: str(library_path)})
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-build-isolation", str(source)], env=env,
                   check=True)
    checked = subprocess.run([str(python), "-c", CHECK], env=env, cwd=tmp_path, capture_output=True, text=True)
    assert checked.returncode == 0, checked.stderr
    assert checked.stdout.strip() == "KV47D00291"
