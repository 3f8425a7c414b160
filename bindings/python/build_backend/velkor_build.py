"""The package's own build backend (PEP 517 and PEP 660): the package is pure Python, so a wheel is a zip file of
its modules and metadata. With it `pip install ./bindings/python` needs nothing but pip itself: no setuptools, no
wheel, no index to fetch either from, whatever the interpreter (3.9 or later)."""
from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile
from pathlib import Path
from typing import Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = "velkor"
# A copy of the library placed beside the modules travels with them.
DATA_FILES = re.compile(r"^(py\.typed|libdoduzerez\.so[.0-9]*|doduzerez\.dll)$")
SDIST_FILES = ["pyproject.toml", "build_backend/velkor_build.py"]


def _project() -> Dict[str, object]:
    """The [project] table of pyproject.toml: strings and lists of strings on one line, which is all it holds
    (tomllib exists from Python 3.11 only)."""
    table: Dict[str, object] = {}
    inside = False
    for line in (ROOT / "pyproject.toml").read_text(encoding="utf-8").splitlines():
        line = line.strip()
        if line.startswith("["):
            inside = line == "[project]"
        elif inside and "=" in line and not line.startswith("#"):
            key, value = (part.strip() for part in line.split("=", 1))
            table[key] = re.findall(r'"([^"]*)"', value) if value.startswith("[") else value.strip('"')
    return table


def _names() -> Tuple[str, str]:
    project = _project()
    return str(project["name"]), str(project["version"])


def _dist_info() -> str:
    name, version = _names()
    return f"{name}-{version}.dist-info"


def _metadata() -> str:
    project = _project()
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}", f"Version: {project['version']}",
             f"Summary: {project.get('description', '')}", f"Requires-Python: {project.get('requires-python', '')}"]
    lines += [f"Classifier: {classifier}" for classifier in project.get("classifiers", [])]  # type: ignore[union-attr]
    return "\n".join(lines) + "\n"


def _wheel_file(tag: str = "py3-none-any") -> str:
    return f"Wheel-Version: 1.0\nGenerator: velkor_build\nRoot-Is-Purelib: true\nTag: {tag}\n"


def _package_files() -> List[Path]:
    folder = ROOT / PACKAGE
    return sorted(path for path in folder.iterdir()
                  if path.is_file() and (path.suffix == ".py" or DATA_FILES.match(path.name)))


def _write_wheel(directory: str, contents: List[Tuple[str, bytes]]) -> str:
    name, version = _names()
    wheel_name = f"{name}-{version}-py3-none-any.whl"
    dist_info = _dist_info()
    contents = contents + [(f"{dist_info}/METADATA", _metadata().encode()),
                           (f"{dist_info}/WHEEL", _wheel_file().encode())]
    record = io.StringIO()
    for archive_name, data in contents:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.write(f"{archive_name},sha256={digest},{len(data)}\n")
    record.write(f"{dist_info}/RECORD,,\n")
    contents.append((f"{dist_info}/RECORD", record.getvalue().encode()))
    with zipfile.ZipFile(Path(directory) / wheel_name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for archive_name, data in contents:
            info = zipfile.ZipInfo(archive_name, date_time=(2020, 1, 1, 0, 0, 0))
            # A library copy must stay executable.
            info.external_attr = (0o755 if archive_name.endswith((".so", ".dll")) or ".so." in archive_name
                                  else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    return wheel_name


def _prepare_metadata(directory: str) -> str:
    dist_info = Path(directory) / _dist_info()
    dist_info.mkdir(parents=True, exist_ok=True)
    (dist_info / "METADATA").write_text(_metadata(), encoding="utf-8")
    (dist_info / "WHEEL").write_text(_wheel_file(), encoding="utf-8")
    return dist_info.name


# -- PEP 517 ------------------------------------------------------------------------------------------------
def get_requires_for_build_wheel(config_settings: Optional[dict] = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Optional[dict] = None) -> List[str]:
    return []


def prepare_metadata_for_build_wheel(metadata_directory: str, config_settings: Optional[dict] = None) -> str:
    return _prepare_metadata(metadata_directory)


def build_wheel(wheel_directory: str, config_settings: Optional[dict] = None,
                metadata_directory: Optional[str] = None) -> str:
    return _write_wheel(wheel_directory, [(f"{PACKAGE}/{path.name}", path.read_bytes()) for path in _package_files()])


def build_sdist(sdist_directory: str, config_settings: Optional[dict] = None) -> str:
    name, version = _names()
    base = f"{name}-{version}"
    files = SDIST_FILES + [f"{PACKAGE}/{path.name}" for path in _package_files() if path.suffix == ".py"
                           or path.name == "py.typed"]
    archive = f"{base}.tar.gz"
    with tarfile.open(Path(sdist_directory) / archive, "w:gz", format=tarfile.PAX_FORMAT) as sdist:
        for relative in files:
            sdist.add(str(ROOT / relative), arcname=f"{base}/{relative}")
        metadata = _metadata().encode()
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        info.size = len(metadata)
        sdist.addfile(info, io.BytesIO(metadata))
    return archive


# -- PEP 660: an editable install imports the package from this folder -------------------------------------
def get_requires_for_build_editable(config_settings: Optional[dict] = None) -> List[str]:
    return []


def prepare_metadata_for_build_editable(metadata_directory: str, config_settings: Optional[dict] = None) -> str:
    return _prepare_metadata(metadata_directory)


def build_editable(wheel_directory: str, config_settings: Optional[dict] = None,
                   metadata_directory: Optional[str] = None) -> str:
    return _write_wheel(wheel_directory, [(f"__editable__.{PACKAGE}.pth", (os.fspath(ROOT) + "\n").encode())])
