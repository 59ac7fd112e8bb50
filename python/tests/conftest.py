import os
import random

import numpy as np
import pytest

from clib import CLib, CStream


def pytest_report_header(config):
    import tnr_md
    return f"tnr_md {tnr_md.__version__} from {tnr_md.__file__}"


def built(var):
    """A file of the build the tests run against, named by an environment variable."""
    path = os.environ.get(var, "")
    if not os.path.exists(path):
        pytest.fail(f"{var} must name a file of the build, got {path!r}")
    return path


@pytest.fixture(scope="module")
def clib():
    return CLib(built("TNR_MD_SHARED_LIB"))


@pytest.fixture(scope="module")
def cstream():
    return CStream(built("TNR_MD_STREAM_LIB"))


@pytest.fixture(scope="module")
def example():
    return built("TNR_MD_EXAMPLE")


@pytest.fixture
def rng():
    """A seeded generator whose random seed is printed, and so shown when the test
    fails. TNR_MD_SEED=N replays a run."""
    seed = int(os.environ.get("TNR_MD_SEED", random.SystemRandom().randrange(1 << 32)))
    print(f"random seed {seed} (replay with TNR_MD_SEED={seed})")
    return np.random.default_rng(seed)
