"""Finding the library: the order of the places looked at, and the message when none works."""
from __future__ import annotations

import ctypes.util
import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Callable, Dict, Optional

import pytest

from conftest import PACKAGE_ROOT
from velkor import ENVIRONMENT_VARIABLE, LibraryNotFoundError, candidates, load_library

RUNTIME_NAME = "libdoduzerez.so.0"


def not_a_library(tmp_path: Path) -> str:
    path = tmp_path / "libdoduzerez.so"
    path.write_text("not a library\n")
    return str(path)


@pytest.mark.parametrize("explicit, environment, reason", [
    pytest.param(lambda tmp: str(tmp / "absent.so"), None, "No such file", id="path given, absent"),
    pytest.param(None, lambda tmp: str(tmp / "absent.so"), "No such file", id="VELKOR_LIBRARY absent"),
    pytest.param(None, not_a_library, "", id="VELKOR_LIBRARY not a library"),
    pytest.param(lambda tmp: ctypes.util.find_library("m"), None, "lacks _Initialize", id="another library"),
    pytest.param(None, None, "", id="nothing set, nothing installed"),
])
def test_library_not_found_lists_every_place_tried(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                   explicit: Optional[object], environment: Optional[object],
                                                   reason: str) -> None:
    monkeypatch.delenv(ENVIRONMENT_VARIABLE, raising=False)
    if environment is not None:
        monkeypatch.setenv(ENVIRONMENT_VARIABLE, environment(tmp_path))  # type: ignore[operator]
    path = explicit(tmp_path) if explicit is not None else None  # type: ignore[operator]
    with pytest.raises(LibraryNotFoundError) as raised:
        load_library(path)
    tried = [where for where, _ in raised.value.tried]
    assert tried == candidates(path) and len(tried) >= 1
    assert (len(tried) == 1) == (path is not None or environment is not None)
    for where, why in raised.value.tried:
        assert f"{where}: {why}" in str(raised.value) and why
    assert reason in raised.value.tried[0][1]
    assert ENVIRONMENT_VARIABLE in str(raised.value)


def library_found(tmp_path: Path, library: Path, beside: bool, environment: bool) -> str:
    """Which library a copy of the package loads in a fresh process, with a copy on the search path."""
    site = tmp_path / "site"
    shutil.copytree(PACKAGE_ROOT / "velkor", site / "velkor", ignore=shutil.ignore_patterns("__pycache__"))
    if beside:
        shutil.copy(library, site / "velkor" / RUNTIME_NAME)
    system = tmp_path / "system"
    system.mkdir()
    shutil.copy(library, system / RUNTIME_NAME)
    env: Dict[str, str] = {key: value for key, value in os.environ.items() if key != ENVIRONMENT_VARIABLE}
    env.update(PYTHONPATH=str(site), LD_LIBRARY_PATH=str(system))
    if environment:
        env[ENVIRONMENT_VARIABLE] = str(library)
    found = subprocess.run([sys.executable, "-c", "import velkor; print(velkor.Session().library_path)"],
                           env=env, cwd=tmp_path, capture_output=True, text=True, check=True)
    return found.stdout.strip()


@pytest.mark.skipif(sys.platform == "win32", reason="LD_LIBRARY_PATH is the search path of ELF systems")
@pytest.mark.parametrize("beside, environment, expected", [
    pytest.param(True, True, lambda tmp, library: str(library), id="VELKOR_LIBRARY first"),
    pytest.param(True, False, lambda tmp, library: str(tmp / "site" / "velkor" / RUNTIME_NAME),
                 id="beside the package next"),
    pytest.param(False, False, lambda tmp, library: RUNTIME_NAME, id="the system search path last"),
])
def test_library_lookup_order(tmp_path: Path, library_path: Path, beside: bool, environment: bool,
                              expected: Callable[[Path, Path], str]) -> None:
    assert library_found(tmp_path, library_path, beside, environment) == expected(tmp_path, library_path)
