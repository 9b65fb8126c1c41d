"""The typed samples do at run time what the stub says: every call of usage.py works, and every call
of rejected.py fails as the file expects (tests/run.sh has mypy accept the first and reject each call
of the second)."""
import pathlib
import runpy

import pytest

TYPING = pathlib.Path(__file__).resolve().parents[1] / "typing"


@pytest.mark.parametrize("sample", ["usage.py", "rejected.py"])
def test_sample_runs_as_its_types_say(sample):
    runpy.run_path(str(TYPING / sample), run_name="__main__")
