"""The module object, its classes and functions as Python sees them."""
import gc
import importlib
import sys
import types
import weakref

import pytest

import tarnwick
from twhelpers import CLASSES, SCHEMA, SIGNATURES, make, run_python, run_python_value, snapshot

EXPECTED_ALL = [
    "full_user", "full_member", "full_guild", "full_role", "full_message", "full_emoji",
    "register_guild", "register_user", "register_message", "get_guild", "get_member",
    "get_user", "get_message",
]

FUNCTION_SIGNATURES = {
    "register_guild": "(guild)", "register_user": "(user)", "register_message": "(message)",
    "get_guild": "(guild_id)", "get_member": "(guild_id, user_id)", "get_user": "(user_id)",
    "get_message": "(message_id)",
}

METHOD_SIGNATURES = {
    "add_member": "($self, member)", "add_role": "($self, role)", "add_emoji": "($self, emoji)",
}

ATTRIBUTE_COUNTS = {"full_user": 16, "full_guild": 35, "full_member": 12, "full_emoji": 8,
                    "full_message": 13, "full_role": 10}


def test_module_identity():
    assert tarnwick.__name__ == "tarnwick"
    assert tarnwick.__doc__ == ""
    assert tarnwick.__all__ == EXPECTED_ALL
    assert type(tarnwick.__all__) is list
    public = [name for name in vars(tarnwick) if not name.startswith("_")]
    assert public == EXPECTED_ALL


def test_reimport_yields_same_module_and_types():
    original = sys.modules.pop("tarnwick")
    try:
        again = importlib.import_module("tarnwick")
    finally:
        sys.modules["tarnwick"] = original
    assert again is original
    assert again.__all__ == EXPECTED_ALL
    for name in EXPECTED_ALL:
        assert getattr(again, name) is getattr(original, name)


def test_import_is_warning_free():
    result = run_python("import tarnwick; print(tarnwick.full_user.__module__)", "-W", "error")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "tarnwick\n"


@pytest.mark.parametrize("cls_name", CLASSES)
def test_class_names(cls_name):
    cls = getattr(tarnwick, cls_name)
    assert type(cls) is type
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (cls_name, cls_name, "tarnwick")
    assert cls.__mro__ == (cls, object)
    if sys.version_info >= (3, 10):  # 3.9's PyType_FromSpec drops the signature from the doc
        assert cls.__text_signature__ == SIGNATURES[cls_name]


@pytest.mark.parametrize("cls_name", CLASSES)
def test_class_shape(cls_name):
    cls = getattr(tarnwick, cls_name)
    getters = [k for k, v in vars(cls).items() if type(v).__name__ == "getset_descriptor"]
    assert len(getters) == ATTRIBUTE_COUNTS[cls_name]
    for name in ("__init__", "__eq__", "__ne__", "__lt__", "__hash__", "__repr__", "__str__",
                 "__dict__", "__weakref__", "__setattr__", "__reduce__"):
        assert name not in vars(cls), name
    methods = [k for k, v in vars(cls).items() if type(v).__name__ == "method_descriptor"]
    assert methods == (list(METHOD_SIGNATURES) if cls_name == "full_guild" else [])
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    assert not cls.__flags__ & (1 << 10)  # not a base type
    assert not cls.__flags__ & (1 << 14)  # not garbage collected


@pytest.mark.parametrize("cls_name", CLASSES)
def test_cannot_subclass(cls_name):
    cls = getattr(tarnwick, cls_name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        exec(f"class Sub(tarnwick.{cls_name}): pass", {"tarnwick": tarnwick})


@pytest.mark.parametrize("cls_name", CLASSES)
def test_instances_have_no_dict_weakref_or_gc(cls_name):
    obj = make(cls_name)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)
    with pytest.raises(AttributeError):
        obj.not_a_field = 1
    with pytest.raises(AttributeError):
        object.__setattr__(obj, "not_a_field", 1)


@pytest.mark.parametrize("cls_name, field", [
    (cls, name) for cls in CLASSES for name, _kind, _default in SCHEMA[cls]])
def test_attributes_are_read_only(cls_name, field):
    obj = make(cls_name)
    before = snapshot(obj)
    with pytest.raises(AttributeError):
        setattr(obj, field, getattr(obj, field))
    with pytest.raises(AttributeError):
        delattr(obj, field)
    with pytest.raises(AttributeError):
        vars(type(obj))[field].__set__(obj, getattr(obj, field))
    assert snapshot(obj) == before


@pytest.mark.parametrize("name, signature", FUNCTION_SIGNATURES.items())
def test_functions(name, signature):
    func = getattr(tarnwick, name)
    assert isinstance(func, types.BuiltinFunctionType)
    assert (func.__name__, func.__qualname__, func.__module__) == (name, name, "tarnwick")
    assert func.__self__ is tarnwick
    assert func.__text_signature__ == signature


@pytest.mark.parametrize("name, signature", METHOD_SIGNATURES.items())
def test_guild_methods(name, signature):
    descriptor = vars(tarnwick.full_guild)[name]
    assert descriptor.__text_signature__ == signature
    assert descriptor.__qualname__ == f"full_guild.{name}"
    bound = getattr(tarnwick.full_guild(1, "g"), name)
    assert bound.__text_signature__ == signature
    assert bound.__name__ == name


# Sub-interpreters that still admit single-phase modules: the private API
# moved in 3.13, and 3.12 isolates new interpreters unless asked not to.
needs_subinterpreters = pytest.mark.skipif(sys.version_info >= (3, 13), reason="no _xxsubinterpreters")
CREATE = "interpreters.create(isolated=False)" if sys.version_info >= (3, 12) else "interpreters.create()"


@needs_subinterpreters
def test_second_interpreter_cannot_import():
    got = run_python_value("""
        import _xxsubinterpreters as interpreters
        import tarnwick
        interp = CREATE""".replace("CREATE", CREATE) + """
        try:
            interpreters.run_string(interp, "import tarnwick")
        except interpreters.RunFailedError as exc:
            second = "refused: " + str(exc).split(":")[0].replace("<class '", "").rstrip("'>")
        else:
            second = "imported"
        interpreters.destroy(interp)
        print(repr({"import_in_second": second,
                    "username": tarnwick.full_user(3, "still").username,
                    "user_3": tarnwick.get_user(3)}))
    """)
    # The first interpreter's module works on after the second's refusal.
    assert got == {"import_in_second": "refused: ImportError", "username": "still", "user_3": None}


@needs_subinterpreters
def test_first_interpreter_to_import_owns_the_module():
    result = run_python("""
        import _xxsubinterpreters as interpreters
        interp = CREATE""".replace("CREATE", CREATE) + """
        interpreters.run_string(interp, "import tarnwick; assert tarnwick.full_user(1, 'a').id == 1")
        try:
            import tarnwick
        except ImportError:
            print("refused")
        else:
            print("imported")
        interpreters.destroy(interp)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "refused\n"
