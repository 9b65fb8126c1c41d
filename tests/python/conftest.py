import os

import pytest
from hypothesis import settings

import exprkit

# CI runs every property test on a fixed sequence of examples and keeps no database of failures, so that
# its verdict never depends on the seed or on what an earlier run found; local runs stay randomized.
settings.register_profile("ci", derandomize=True, database=None)
if os.environ.get("CI"):
    settings.load_profile("ci")


@pytest.fixture
def blank() -> exprkit.func:
    """A default-constructed object, ready for add_func and init."""
    return exprkit.func()
