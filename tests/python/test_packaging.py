"""The wheel and sdist of tools/tarnwick_build.py, and the stubs they ship."""
import ast
import base64
import email.parser
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import tarfile
import zipfile

import pytest

import tarnwick
from twhelpers import REQ, SCHEMA

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STUBS = os.path.join(ROOT, "python", "tarnwick-stubs", "__init__.pyi")


def _backend():
    """The backend's globals, a namespace of their own: the stand-in compiler
    below replaces nothing outside this file."""
    path = os.path.join(ROOT, "tools", "tarnwick_build.py")
    namespace = {"__name__": "tarnwick_build_under_test", "__file__": path}
    with open(path, encoding="utf-8") as f:
        exec(compile(f.read(), path, "exec"), namespace)
    return namespace


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """A wheel from the backend, with this test run's module standing in for
    the compiled one (make install-test builds and installs the real thing)."""
    backend = _backend()
    out = tmp_path_factory.mktemp("wheel")

    def compile_stand_in(build_dir):
        return shutil.copy(tarnwick.__file__, os.path.join(build_dir, "tarnwick.abi3.so"))

    backend["_compile"] = compile_stand_in
    return out / backend["build_wheel"](str(out))


def _pyproject():
    try:
        import tomllib
    except ImportError:
        tomllib = pytest.importorskip("tomli")
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)["project"]


def _dist_info(wheel):
    return "tarnwick-%s.dist-info/" % wheel.name.split("-")[1]


def test_wheel_holds_the_module_both_packages_and_the_license(wheel):
    _, _, python, abi, platform = wheel.name[:-len(".whl")].split("-")
    assert (python, abi) == ("cp39", "abi3")
    info = _dist_info(wheel)
    with zipfile.ZipFile(wheel) as zf:
        names = set(zf.namelist())
        wheel_file = zf.read(info + "WHEEL").decode()
        license_text = zf.read(info + "LICENSE").decode()
    # Every file of the two Python packages, and nothing else of the tree.
    sources = pathlib.Path(__file__).resolve().parents[2] / "python"
    packaged = {p.relative_to(sources).as_posix() for p in sources.rglob("*")
                if p.is_file() and "__pycache__" not in p.parts}
    assert {"tarnwick_extras/py.typed", "tarnwick_extras/cache.pyi", "tarnwick-stubs/__init__.pyi"} <= packaged
    assert names == packaged | {
        "tarnwick.abi3.so", info + "LICENSE", info + "METADATA", info + "WHEEL", info + "RECORD"}
    assert f"Tag: cp39-abi3-{platform}\n" in wheel_file
    assert "Root-Is-Purelib: false\n" in wheel_file
    assert license_text.startswith("MIT License\n\nCopyright (c) the tarnwick developers\n")


def test_record_lists_every_file_with_its_hash_and_size(wheel):
    with zipfile.ZipFile(wheel) as zf:
        record = zf.read(_dist_info(wheel) + "RECORD").decode().splitlines()
        rows = [line.rsplit(",", 2) for line in record]
        assert sorted(name for name, _, _ in rows) == sorted(zf.namelist())
        for name, digest, size in rows:
            if name.endswith("/RECORD"):
                assert (digest, size) == ("", "")
                continue
            data = zf.read(name)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            assert (digest, int(size)) == ("sha256=" + expected.decode(), len(data)), name


def test_metadata_follows_pyproject(wheel):
    project = _pyproject()
    with zipfile.ZipFile(wheel) as zf:
        meta = email.parser.Parser().parsestr(zf.read(_dist_info(wheel) + "METADATA").decode())
    assert meta["Metadata-Version"] == "2.1"
    assert (meta["Name"], meta["Version"]) == ("tarnwick", project["version"])
    assert meta["Summary"] == project["description"]
    assert meta["License"] == project["license"]["text"] == "MIT"
    assert meta["Requires-Python"] == project["requires-python"] == ">=3.9"
    assert meta.get_all("Classifier") == project["classifiers"]
    assert {"Programming Language :: Python :: 3 :: Only", "Programming Language :: C++",
            "License :: OSI Approved :: MIT License", "Operating System :: POSIX :: Linux",
            "Typing :: Typed"} <= set(project["classifiers"])
    assert [c for c in project["classifiers"] if c.startswith("Programming Language :: Python :: 3.")] \
        == [f"Programming Language :: Python :: 3.{minor}" for minor in range(9, 14)]
    assert meta.get_payload().startswith("# tarnwick\n")


def test_unpacked_wheel_imports_and_converts(wheel, tmp_path):
    with zipfile.ZipFile(wheel) as zf:
        zf.extractall(tmp_path)
    code = ("import tarnwick, tarnwick_extras as x\n"
            "assert tarnwick.__file__.startswith(%r)\n"
            "assert x.__file__.startswith(%r)\n"
            "u = x.payloads.user({'id': '7', 'username': 'ann', 'bot': None})\n"
            "print(x.as_dict(u)['id'], x.__all__, x.cache.message_limit())\n") % (str(tmp_path), str(tmp_path))
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["PYTHONPATH"] = str(tmp_path)
    result = subprocess.run([sys.executable, "-c", code], env=env, cwd=str(tmp_path),
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "7 ['PayloadError', 'as_dict', 'cache', 'events', 'payloads'] None\n"


def test_editable_wheel_points_at_the_source_tree(tmp_path):
    backend = _backend()
    backend["EDITABLE"] = str(tmp_path / "editable")
    backend["_compile"] = lambda build_dir: shutil.copy(tarnwick.__file__, build_dir)
    name = backend["build_editable"](str(tmp_path))
    with zipfile.ZipFile(tmp_path / name) as zf:
        zf.extractall(tmp_path / "site")
        names = set(zf.namelist())
    info = _dist_info(tmp_path / name)
    pth = "__editable__.tarnwick-%s.pth" % _pyproject()["version"]
    assert names == {pth, info + "LICENSE", info + "METADATA", info + "WHEEL", info + "RECORD"}
    assert (tmp_path / "site" / pth).read_text().splitlines() == [
        str(tmp_path / "editable"), os.path.join(ROOT, "python")]
    assert os.listdir(tmp_path / "editable") == ["tarnwick.abi3.so"]     # and nothing left over
    # What the installed .pth does: both packages import from where it points
    # (-S: no site-packages, which may hold an installed copy).
    code = ("import site, sys; site.addsitedir(sys.argv[1])\n"
            "import tarnwick, tarnwick_extras\n"
            "print(tarnwick.__file__, tarnwick_extras.__file__)\n")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    result = subprocess.run([sys.executable, "-S", "-c", code, str(tmp_path / "site")], env=env, cwd=str(tmp_path),
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [str(tmp_path / "editable" / "tarnwick.abi3.so"),
                                     os.path.join(ROOT, "python", "tarnwick_extras", "__init__.py")]


def test_sdist_carries_the_python_sources_and_license(tmp_path):
    name = _backend()["build_sdist"](str(tmp_path))
    base = name[:-len(".tar.gz")]
    with tarfile.open(tmp_path / name) as tar:
        names = set(tar.getnames())
        pkg_info = tar.extractfile(base + "/PKG-INFO").read().decode()
    for path in ("LICENSE", "pyproject.toml", "tools/tarnwick_build.py", "src/module/module.cpp",
                 "python/tarnwick_extras/payloads.py", "python/tarnwick_extras/events.py",
                 "python/tarnwick_extras/py.typed",
                 "python/tarnwick-stubs/__init__.pyi"):
        assert f"{base}/{path}" in names
    assert not [n for n in names if "__pycache__" in n or n.endswith(".pyc")]
    assert "\nLicense: MIT\n" in pkg_info


def test_missing_compiler_is_one_line(tmp_path):
    env = dict(os.environ, CXX="/nonexistent")
    code = "import sys, tarnwick_build; tarnwick_build.build_wheel(sys.argv[1])"
    result = subprocess.run([sys.executable, "-c", code, str(tmp_path)], env=env,
                            cwd=os.path.join(ROOT, "tools"), capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 1
    assert result.stderr == "tarnwick: no C++ compiler found (set CXX or install g++)\n"
    assert list(tmp_path.iterdir()) == []


# -- the stubs against the runtime's own description of itself -----------------
# stubtest (make install-test) checks attributes, methods and functions, but
# cannot see the constructors' parameters: at run time __new__ takes
# (*args, **kwargs).  They are checked here, against the field tables.

PARAM_TYPE = {
    "u64": "SupportsIndex", "u32": "SupportsIndex", "i32": "SupportsIndex", "u8": "SupportsIndex",
    "opt_u64": "SupportsIndex | None", "opt_u32": "SupportsIndex | None", "bool": "bool",
    "text": "str", "opt_text": "str | None", "ids": "Sequence[SupportsIndex]",
    "texts": "Sequence[str]",
}
ATTR_TYPE = {
    "u64": "int", "u32": "int", "i32": "int", "u8": "int", "opt_u64": "int | None",
    "opt_u32": "int | None", "bool": "bool", "text": "str", "opt_text": "str | None",
    "ids": "list[int]", "texts": "list[str]",
}


def _stub_classes():
    with open(STUBS, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    return tree, {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def _default(node):
    return ast.literal_eval(node)


@pytest.mark.parametrize("cls_name", SCHEMA)
def test_stub_constructor_and_attributes_match_the_fields(cls_name):
    _, classes = _stub_classes()
    node = classes[cls_name]
    assert [ast.unparse(d) for d in node.decorator_list] == ["final"]
    methods = {f.name: f for f in node.body if isinstance(f, ast.FunctionDef)}
    new = methods["__new__"].args
    assert [a.arg for a in new.args] == ["cls"] + [name for name, _, _ in SCHEMA[cls_name]]
    params = new.args[1:]
    defaults = [None] * (len(params) - len(new.defaults)) + list(new.defaults)
    for arg, default, (name, kind, value) in zip(params, defaults, SCHEMA[cls_name]):
        assert ast.unparse(arg.annotation) == PARAM_TYPE[kind], name
        if value is REQ:
            assert default is None, name
        else:                                      # the real default, texts and lists too
            assert type(_default(default)) is type(value) and _default(default) == value, name
    assert ast.unparse(methods["__new__"].returns) == cls_name
    attrs = {name: f for name, f in methods.items() if name != "__new__" and not name.startswith("add_")}
    assert list(attrs) == [name for name, _, _ in SCHEMA[cls_name]]
    for name, kind, _ in SCHEMA[cls_name]:
        assert [ast.unparse(d) for d in attrs[name].decorator_list] == ["property"]
        assert ast.unparse(attrs[name].returns) == ATTR_TYPE[kind], name


def test_stub_module_lists_the_public_names():
    tree, classes = _stub_classes()
    all_node = next(n for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    assert ast.literal_eval(all_node.value) == tarnwick.__all__
    functions = {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
    assert functions | set(classes) == set(tarnwick.__all__)
    assert ast.unparse(next(f for f in classes["full_guild"].body
                            if getattr(f, "name", "") == "add_member").args) == "self, member: full_member"
