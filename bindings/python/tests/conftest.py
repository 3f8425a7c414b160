"""Fixtures: the library under test (VELKOR_LIBRARY), drova-sim in another process (DROVA_SIM), and a session
of the package from this source tree against it."""
from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List

import pytest

PACKAGE_ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(PACKAGE_ROOT))

from velkor import Session  # noqa: E402

FIRMWARE_TABLE = PACKAGE_ROOT.parent.parent / "examples" / "firmware_table.json"
SERVING = "drova-sim: serving "


def required_path(variable: str) -> Path:
    value = os.environ.get(variable)
    if not value or not Path(value).is_file():
        pytest.fail(f"{variable} must name the file to test with (CTest sets it), not {value!r}")
    return Path(value)


@pytest.fixture
def library_path() -> Path:
    return required_path("VELKOR_LIBRARY")


def firmware_table() -> Dict[str, Any]:
    table: Dict[str, Any] = json.loads(FIRMWARE_TABLE.read_text())
    return table


StartSimulator = Callable[[Dict[str, Any]], "subprocess.Popen[str]"]


@pytest.fixture
def simulator(monkeypatch: pytest.MonkeyPatch) -> Iterator[StartSimulator]:
    """Starts drova-sim with a configuration and points the library at its sockets (in a short /tmp path, as
    socket paths are limited to about 100 bytes)."""
    program = required_path("DROVA_SIM")
    directory = Path(tempfile.mkdtemp(prefix="velkor-py-"))
    daemons: List["subprocess.Popen[str]"] = []

    def start(config: Dict[str, Any]) -> "subprocess.Popen[str]":
        config_file = directory / "config.json"
        config_file.write_text(json.dumps(config))
        daemon = subprocess.Popen([str(program), "--dir", str(directory / "usb"), "--config", str(config_file)],
                                  stdout=subprocess.PIPE, text=True)
        daemons.append(daemon)
        assert daemon.stdout is not None
        for _ in config["devices"]:
            line = daemon.stdout.readline()
            assert line.startswith(SERVING), f"drova-sim did not start: {line!r}"
        monkeypatch.setenv("VELKOR_USB_DIR", str(directory / "usb"))
        return daemon

    yield start
    for daemon in daemons:
        if daemon.poll() is None:
            daemon.terminate()
        daemon.wait()
        assert daemon.stdout is not None
        daemon.stdout.close()
    shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture
def session(simulator: StartSimulator, library_path: Path) -> Iterator[Session]:
    """A session with the firmware table's device served; nothing is found or connected yet."""
    simulator(firmware_table())
    with Session(library_path, timeout=10.0) as opened:
        yield opened


@pytest.fixture
def connected(session: Session) -> Session:
    session.connect(session.search(unit_ms=20)[0])
    return session
