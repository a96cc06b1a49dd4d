"""The package's build backend (PEP 517): it zips the `gattrelay` folder into a wheel with the standard library
alone, so `pip install clients/python` works offline in any virtual environment (pip's isolated build has
nothing to download) and writes nothing into the source tree. The metadata comes from pyproject.toml."""

from __future__ import annotations

import base64
import hashlib
import tomllib
import zipfile
from pathlib import Path

_SOURCE = Path(__file__).resolve().parent
_PACKAGE = "gattrelay"


def _project() -> dict:
    with open(_SOURCE / "pyproject.toml", "rb") as file:
        return tomllib.load(file)["project"]


def _metadata(project: dict) -> str:
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        f"License: {project['license']['text']}",
        f"Requires-Python: {project['requires-python']}",
        *(f"Classifier: {c}" for c in project.get("classifiers", [])),
        "Description-Content-Type: text/markdown",
    ]
    return "\n".join(lines) + "\n\n" + (_SOURCE / project["readme"]).read_text(encoding="utf-8")


def _wheel(wheel_directory: str, files: dict[str, bytes]) -> str:
    project = _project()
    dist_info = f"{project['name']}-{project['version']}.dist-info"
    files = {
        **files,
        f"{dist_info}/METADATA": _metadata(project).encode(),
        f"{dist_info}/WHEEL": b"Wheel-Version: 1.0\nGenerator: gattrelay wheel_backend\nRoot-Is-Purelib: true\n"
        b"Tag: py3-none-any\n",
        f"{dist_info}/LICENSE": (_SOURCE / "LICENSE").read_bytes(),
    }
    record = [f"{name},sha256={_digest(data)},{len(data)}" for name, data in files.items()]
    files[f"{dist_info}/RECORD"] = ("\n".join(record + [f"{dist_info}/RECORD,,"]) + "\n").encode()
    name = f"{project['name']}-{project['version']}-py3-none-any.whl"
    with zipfile.ZipFile(Path(wheel_directory) / name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in files.items():
            wheel.writestr(zipfile.ZipInfo(path, date_time=(1980, 1, 1, 0, 0, 0)), data, zipfile.ZIP_DEFLATED)
    return name


def _digest(data: bytes) -> str:
    return base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    sources = sorted(p for p in (_SOURCE / _PACKAGE).iterdir() if p.suffix in (".py", ".typed"))
    return _wheel(wheel_directory, {f"{_PACKAGE}/{p.name}": p.read_bytes() for p in sources})


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    """A wheel that puts the source folder on the path: changes to the sources take effect at once."""
    return _wheel(wheel_directory, {f"{_PACKAGE}.pth": f"{_SOURCE}\n".encode()})
