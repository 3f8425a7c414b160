"""pip installs the package offline into a fresh virtual environment, and it works from there: with the README's
command, whatever the environment holds besides pip (a venv of its own has no wheel, and from Python 3.12 on no
setuptools either)."""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import List

import pytest

from conftest import PACKAGE_ROOT
from velkor import ENVIRONMENT_VARIABLE, __version__

CHECK = """
import importlib.metadata, pathlib, sys, velkor
package = pathlib.Path(velkor.__file__).parent
print(pathlib.Path(sys.prefix) in package.parents, (package / "py.typed").is_file(), importlib.metadata.version("velkor"))
print(velkor.Session().serial_text(0x8D0123))
"""


@pytest.mark.parametrize("system_site_packages, pip_flags, installed_in_venv", [
    pytest.param(False, [], True, id="the README's command in a venv of its own"),
    pytest.param(False, ["--no-build-isolation"], True, id="without build isolation, no wheel or setuptools needed"),
    pytest.param(True, ["--no-build-isolation"], True, id="venv with the system's packages"),
    pytest.param(False, ["-e"], False, id="editable: imported from the source folder"),
])
def test_pip_installs_offline_into_a_fresh_venv(tmp_path: Path, library_path: Path, system_site_packages: bool,
                                                pip_flags: List[str], installed_in_venv: bool) -> None:
    # A copy, so that nothing is written into the tree.
    source = tmp_path / "source"
    shutil.copytree(PACKAGE_ROOT, source, ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
    before = sorted(path.name for path in source.iterdir())
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)] + (["--system-site-packages"] if system_site_packages
                                                                 else []), check=True)
    python = venv / ("Scripts" if sys.platform == "win32" else "bin") / "python"
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    env.update({"PIP_NO_INDEX": "1", "PIP_DISABLE_PIP_VERSION_CHECK": "1", ENVIRONMENT_VARIABLE: str(library_path)})
    installed = subprocess.run([str(python), "-m", "pip", "install", "-q"] + pip_flags + [str(source)], env=env,
                               capture_output=True, text=True)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    checked = subprocess.run([str(python), "-c", CHECK], env=env, cwd=tmp_path, capture_output=True, text=True)
    assert checked.returncode == 0, checked.stderr
    assert checked.stdout.split() == [str(installed_in_venv), "True", __version__, "KV47D00291"]
    assert sorted(path.name for path in source.iterdir()) == before  # nothing built into the source
