"""The package's own build backend (the hooks pip calls), standard library only.

The machines that install this package reach no package index, and a bare Python may
lack setuptools or wheel; this backend needs neither, so
``pip install --no-build-isolation --no-index ./clients/python`` works with pip alone.
It builds a pure-Python wheel of the ``dovrel`` folder, a source archive, and an editable
wheel (a .pth file naming this folder). Name, version and description come from the
[project] table of pyproject.toml.
"""

import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "dovrel"


def _project():
    with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as f:
        text = f.read()
    section = re.search(r"^\[project\]\s*$(.*?)(?=^\[|\Z)", text, re.M | re.S).group(1)
    fields = dict(re.findall(r'^(\w[\w-]*)\s*=\s*"([^"]*)"\s*$', section, re.M))
    return fields


def _metadata():
    project = _project()
    lines = ["Metadata-Version: 2.1", "Name: " + project["name"],
             "Version: " + project["version"], "Summary: " + project.get("description", ""),
             "Requires-Python: " + project.get("requires-python", ">=3.9"),
             "Description-Content-Type: text/markdown", "", ""]
    readme = os.path.join(ROOT, "README.md")
    body = open(readme, encoding="utf-8").read() if os.path.exists(readme) else ""
    return project, "\n".join(lines) + body


def _sources():
    """The package's files, relative to ROOT, in a stable order."""
    found = []
    for folder, dirs, files in os.walk(os.path.join(ROOT, PACKAGE)):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(files):
            if name.endswith(".py"):
                found.append(os.path.relpath(os.path.join(folder, name), ROOT))
    return found


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (path, digest, len(data))


def _write_wheel(directory, files):
    """files: [(path in the wheel, bytes)]. Adds the dist-info and returns the name."""
    project, metadata = _metadata()
    name = project["name"].replace("-", "_")
    info = "%s-%s.dist-info" % (name, project["version"])
    wheel_name = "%s-%s-py3-none-any.whl" % (name, project["version"])
    files = list(files) + [
        (info + "/METADATA", metadata.encode("utf-8")),
        (info + "/WHEEL", b"Wheel-Version: 1.0\nGenerator: dovrel_backend\n"
                          b"Root-Is-Purelib: true\nTag: py3-none-any\n"),
        (info + "/top_level.txt", PACKAGE.encode() + b"\n"),
    ]
    record = [_record_line(path, data) for path, data in files] + [info + "/RECORD,,"]
    files.append((info + "/RECORD", ("\n".join(record) + "\n").encode()))
    with zipfile.ZipFile(os.path.join(directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as z:
        for path, data in files:
            z.writestr(zipfile.ZipInfo(path, date_time=(2020, 1, 1, 0, 0, 0)), data,
                       zipfile.ZIP_DEFLATED)
    return wheel_name


def _read(path):
    with open(os.path.join(ROOT, path), "rb") as f:
        return f.read()


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory,
                        [(path.replace(os.sep, "/"), _read(path)) for path in _sources()])


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, [("_dovrel_editable.pth", (ROOT + "\n").encode())])


def build_sdist(sdist_directory, config_settings=None):
    project, metadata = _metadata()
    base = "%s-%s" % (project["name"], project["version"])
    names = _sources() + ["pyproject.toml", "README.md", os.path.join("_backend",
                                                                       "dovrel_backend.py")]
    archive = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, archive), "w:gz") as tar:
        for path in names:
            tar.add(os.path.join(ROOT, path), arcname=base + "/" + path.replace(os.sep, "/"))
        data = metadata.encode("utf-8")
        info = tarfile.TarInfo(base + "/PKG-INFO")
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
    return archive
