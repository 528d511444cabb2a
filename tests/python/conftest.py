import pytest

from tarnwick_extras._sibling import load_sibling


def _load_hooks():
    # Test builds carry a second entry point in the same shared object, so
    # the hooks share the module's process-wide state.
    try:
        return load_sibling("_tarnwick_hooks")
    except ImportError:
        return None


HOOKS = _load_hooks()


@pytest.fixture
def hooks():
    if HOOKS is None:
        pytest.skip("needs a test build of the module (with _tarnwick_hooks)")
    return HOOKS
