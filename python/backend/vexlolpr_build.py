"""The package's build backend (PEP 517, PEP 660), on the standard library alone, so
that pip builds the package without fetching anything.  The package is pure Python:
a wheel is its files and the metadata from pyproject.toml; the version is the one in
vexlolpr/__init__.py."""
import base64
import hashlib
import io
import os
import re
import sys
import tarfile
import time
import zipfile

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "vexlolpr"
# Fixed times make the archives depend on their contents alone.
EPOCH = (1980, 1, 1, 0, 0, 0)


def _metadata():
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)["project"]
    with open(os.path.join(ROOT, PACKAGE, "__init__.py"), encoding="utf-8") as f:
        version = re.search(r'^__version__ = "([^"]+)"$', f.read(), re.M).group(1)
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}", f"Version: {version}",
             f"Summary: {project['description']}", f"Requires-Python: {project['requires-python']}"]
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    return project["name"], version, "\n".join(lines) + "\n"


def _package_files():
    """The package's sources, as (name in the archive, path on disk)."""
    base = os.path.join(ROOT, PACKAGE)
    for name in sorted(os.listdir(base)):
        if name.endswith(".py") or name == "py.typed":
            yield f"{PACKAGE}/{name}", os.path.join(base, name)


def _wheel(wheel_directory, files):
    """Writes a wheel of (name, bytes) pairs and its .dist-info; returns its name."""
    name, version, metadata = _metadata()
    dist_info = f"{name}-{version}.dist-info"
    files = list(files) + [
        (f"{dist_info}/METADATA", metadata.encode()),
        (f"{dist_info}/WHEEL", b"Wheel-Version: 1.0\nGenerator: vexlolpr_build\n"
                               b"Root-Is-Purelib: true\nTag: py3-none-any\n"),
    ]
    record = []
    for path, data in files:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{path},sha256={digest},{len(data)}")
    record.append(f"{dist_info}/RECORD,,")
    files.append((f"{dist_info}/RECORD", ("\n".join(record) + "\n").encode()))
    wheel_name = f"{name}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in files:
            info = zipfile.ZipInfo(path, EPOCH)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    return wheel_name


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _wheel(wheel_directory, [(name, _read(path)) for name, path in _package_files()])


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # A path entry to this directory: the sources are imported where they are.
    return _wheel(wheel_directory, [(f"_{PACKAGE}_editable.pth", (ROOT + "\n").encode())])


def build_sdist(sdist_directory, config_settings=None):
    name, version, metadata = _metadata()
    base = f"{name}-{version}"
    members = [("PKG-INFO", metadata.encode()), ("pyproject.toml", _read(os.path.join(ROOT, "pyproject.toml"))),
               ("backend/vexlolpr_build.py", _read(os.path.abspath(__file__)))]
    members += [(name_, _read(path)) for name_, path in _package_files()]
    archive = f"{base}.tar.gz"
    with tarfile.open(os.path.join(sdist_directory, archive), "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for path, data in members:
            info = tarfile.TarInfo(f"{base}/{path}")
            info.size = len(data)
            info.mode = 0o644
            info.mtime = int(time.mktime(EPOCH + (0, 0, -1)))
            tar.addfile(info, io.BytesIO(data))
    return archive
