"""A small in-tree build backend (PEP 517) for the tarnwick extension.

It compiles the C++ sources straight into ``tarnwick.abi3.so`` with the
system's C++ compiler and packs a ``cp39-abi3`` wheel by hand, so
``pip install .`` works offline, with ``--no-build-isolation``, on any
CPython from 3.9 on, with no setuptools or wheel package required.

Beside the extension the wheel carries the pure-Python package
``tarnwick_extras`` and the stub-only package ``tarnwick-stubs``, both from
``python/``.  The metadata comes from pyproject.toml's [project] table.

The JSON parser is Debian's simdjson: the build needs libsimdjson-dev, and
the extension links the shared library (libsimdjson.so.14, from
libsimdjson14), which must be installed wherever the wheel is.

``pip install -e .`` (PEP 660) compiles the extension into
``build/editable/`` and installs a wheel holding only a ``.pth`` file that
puts that folder and ``python/`` on sys.path: edits to the Python packages
take effect at once; after a C++ change (or ``make clean``) run it again.

Environment: ``CXX`` picks the compiler (default ``c++``); ``CXXFLAGS`` and
``LDFLAGS`` are appended to the defaults.
"""

import base64
import concurrent.futures
import hashlib
import io
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NAME = "tarnwick"
TAG = "cp39-abi3"


def _project():
    """The [project] values the metadata needs, read without a TOML library
    (3.9 and 3.10 have none built in, and the build may not install one)."""
    with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as f:
        text = f.read()
    table = re.search(r"^\[project\]\s*$(.*?)(?=^\[|\Z)", text, re.M | re.S)
    if not table:
        raise RuntimeError("no [project] table in pyproject.toml")
    body = table.group(1)

    def string(key, pattern=r'"([^"]*)"'):
        match = re.search(r"^%s\s*=\s*%s" % (re.escape(key), pattern), body, re.M)
        if not match:
            raise RuntimeError(f"no {key} in pyproject.toml's [project]")
        return match.group(1)

    array = re.search(r"^classifiers\s*=\s*\[(.*?)\]", body, re.M | re.S)
    return {
        "version": string("version"),
        "description": string("description"),
        "requires-python": string("requires-python"),
        "license": string("license", r'\{\s*text\s*=\s*"([^"]*)"\s*\}'),
        "classifiers": re.findall(r'"([^"]*)"', array.group(1)) if array else [],
    }


# The Python packages shipped beside the extension, from python/.
PACKAGES = ("tarnwick_extras", "tarnwick-stubs")


def _package_files():
    """(path in the wheel, path on disk) for every file of PACKAGES, sorted."""
    found = []
    base = os.path.join(ROOT, "python")
    for package in PACKAGES:
        top = os.path.join(base, package)
        if not os.path.isdir(top):
            raise RuntimeError(f"missing package folder {top}")
        for folder, dirs, names in os.walk(top):
            dirs[:] = sorted(d for d in dirs if d != "__pycache__")
            for name in sorted(names):
                if name.endswith(".pyc"):
                    continue
                path = os.path.join(folder, name)
                found.append((os.path.relpath(path, base).replace(os.sep, "/"), path))
    return found


def _fail(message):
    # A plain exit with one line: pip shows it as the build's whole output,
    # rather than a traceback of this backend.
    raise SystemExit("tarnwick: " + message)


def _sources():
    found = []
    src = os.path.join(ROOT, "src")
    for sub in sorted(os.listdir(src)):
        folder = os.path.join(src, sub)
        if os.path.isdir(folder):
            found += [os.path.join(folder, n) for n in sorted(os.listdir(folder)) if n.endswith(".cpp")]
    return found


def _platform_tag():
    return re.sub(r"[-.]", "_", sysconfig.get_platform())


def _compile(build_dir):
    if sys.version_info < (3, 9):
        raise RuntimeError("tarnwick needs CPython 3.9 or later")
    cxx = shlex.split(os.environ.get("CXX", "c++"))
    if not cxx or shutil.which(cxx[0]) is None:
        _fail("no C++ compiler found (set CXX or install g++)")
    include = sysconfig.get_paths()["include"]
    flags = [
        "-std=c++20", "-O2", "-DNDEBUG", "-fPIC", "-fvisibility=hidden",
        "-fvisibility-inlines-hidden", "-DPy_LIMITED_API=0x03090000",
        # As simdjson's CMake package compiles its users: the parser's
        # classes have the same layout in the library and here.
        "-DSIMDJSON_THREADS_ENABLED=1",
        "-I" + os.path.join(ROOT, "src"), "-isystem", include,
    ] + shlex.split(os.environ.get("CXXFLAGS", ""))
    objects = []
    jobs = []
    for src in _sources():
        obj = os.path.join(build_dir, os.path.relpath(src, ROOT).replace(os.sep, "_") + ".o")
        objects.append(obj)
        jobs.append(cxx + flags + ["-c", src, "-o", obj])
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        for result in pool.map(_run, jobs):
            if result.returncode != 0:
                sys.stderr.write(result.stdout + result.stderr)
                if "simdjson.h: No such file" in result.stderr:
                    _fail("simdjson.h not found: install the JSON parser's headers (libsimdjson-dev on Debian)")
                _fail("compiling failed: " + shlex.join(result.args))
    target = os.path.join(build_dir, NAME + ".abi3.so")
    exports = os.path.join(ROOT, "tools", "exports.map")
    link = (cxx + ["-shared", "-o", target] + objects
            + ["-lsimdjson", "-lpthread", "-Wl,--version-script=" + exports]
            + shlex.split(os.environ.get("LDFLAGS", "")))
    result = _run(link)
    if result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        _fail("linking failed: " + shlex.join(link))
    return target


def _run(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True)
    except OSError as e:  # found by which() but cannot be run
        _fail(f"cannot run the C++ compiler {cmd[0]}: {e.strerror}")


def _metadata(project):
    readme = ""
    path = os.path.join(ROOT, "README.md")
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            readme = f.read()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {NAME}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        f"License: {project['license']}",
    ]
    lines += [f"Classifier: {c}" for c in project["classifiers"]]
    lines += [
        f"Requires-Python: {project['requires-python']}",
        "Description-Content-Type: text/markdown",
    ]
    return "\n".join(lines) + "\n\n" + readme


def _record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{arcname},sha256={digest},{len(data)}"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    sources = _package_files()  # before compiling: a missing folder fails fast
    with tempfile.TemporaryDirectory() as tmp:
        so = _compile(tmp)
        with open(so, "rb") as f:
            files = {NAME + ".abi3.so": f.read()}
    for arcname, path in sources:
        with open(path, "rb") as f:
            files[arcname] = f.read()
    return _write_wheel(wheel_directory, files)


# Where an editable install's extension is compiled to.
EDITABLE = os.path.join(ROOT, "build", "editable")


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    """PEP 660: the extension compiled into EDITABLE, and a wheel whose one
    file, a .pth, puts EDITABLE and python/ on sys.path."""
    _package_files()  # the package folders must be there
    os.makedirs(EDITABLE, exist_ok=True)
    # Compiled beside its place and moved in whole, so that a process that
    # has the old one loaded keeps it.
    with tempfile.TemporaryDirectory(dir=EDITABLE) as tmp:
        os.replace(_compile(tmp), os.path.join(EDITABLE, NAME + ".abi3.so"))
    pth = "".join(path + "\n" for path in (EDITABLE, os.path.join(ROOT, "python")))
    version = _project()["version"]
    return _write_wheel(wheel_directory, {f"__editable__.{NAME}-{version}.pth": pth.encode()})


def _write_wheel(wheel_directory, files):
    """Packs files (name in the wheel -> bytes) with the dist-info."""
    project = _project()
    version = project["version"]
    tag = f"{TAG}-{_platform_tag()}"
    dist_info = f"{NAME}-{version}.dist-info"
    wheel_name = f"{NAME}-{version}-{tag}.whl"
    files = dict(files)
    with open(os.path.join(ROOT, "LICENSE"), "rb") as f:
        files[f"{dist_info}/LICENSE"] = f.read()
    files[f"{dist_info}/METADATA"] = _metadata(project).encode()
    files[f"{dist_info}/WHEEL"] = (
        "Wheel-Version: 1.0\nGenerator: tarnwick_build\nRoot-Is-Purelib: false\n" f"Tag: {tag}\n"
    ).encode()
    record = [_record_line(name, data) for name, data in files.items()]
    record.append(f"{dist_info}/RECORD,,")
    files[f"{dist_info}/RECORD"] = ("\n".join(record) + "\n").encode()
    path = os.path.join(wheel_directory, wheel_name)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf:
        for name, data in files.items():
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if name.endswith(".so") else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            zf.writestr(info, data)
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    version = project["version"]
    base = f"{NAME}-{version}"
    path = os.path.join(sdist_directory, base + ".tar.gz")
    keep = ("src", "tools", "python", "pyproject.toml", "README.md", "LICENSE")
    with tarfile.open(path, "w:gz") as tar:
        for item in keep:
            full = os.path.join(ROOT, item)
            if os.path.exists(full):
                tar.add(full, arcname=f"{base}/{item}",
                        filter=lambda info: None if "__pycache__" in info.name else info)
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata(project).encode()
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
    return os.path.basename(path)


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


if __name__ == "__main__":
    # Developer convenience: python3 tools/tarnwick_build.py OUT_DIR
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "release")
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        shutil.copy(_compile(tmp), out)
    print(os.path.join(out, NAME + ".abi3.so"))
