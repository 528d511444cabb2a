import importlib.machinery
import importlib.util
import pytest
import tarnwick


def _load_hooks():
    # Test builds carry a second entry point in the same shared object, so
    # the hooks share the module's process-wide state.
    name = "_tarnwick_hooks"
    loader = importlib.machinery.ExtensionFileLoader(name, tarnwick.__file__)
    location = importlib.util.spec_from_file_location(name, tarnwick.__file__, loader=loader)
    try:
        module = importlib.util.module_from_spec(location)
        loader.exec_module(module)
    except ImportError:
        return None
    return module


HOOKS = _load_hooks()


@pytest.fixture
def hooks():
    if HOOKS is None:
        pytest.skip("needs a test build of the module (with _tarnwick_hooks)")
    return HOOKS
