import pytest

import exprkit


@pytest.fixture
def blank() -> exprkit.func:
    """A default-constructed object, ready for add_func and init."""
    return exprkit.func()
