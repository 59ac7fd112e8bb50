import os
import random
import shutil

import numpy as np
import pytest

from clib import CLib

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(HERE, "..", "..", "build", "python")


def pytest_report_header(config):
    import tnr_md
    return f"tnr_md {tnr_md.__version__} from {tnr_md.__file__}"


@pytest.fixture(scope="module")
def clib():
    path = os.environ.get("TNR_MD_SHARED_LIB",
                          os.path.join(BUILD, "algos", "anr", "tnr_md", "libtnr_md.so"))
    if not os.path.exists(path):
        pytest.fail(f"the shared library {path} is missing (set TNR_MD_SHARED_LIB)")
    return CLib(path)


@pytest.fixture(scope="module")
def example():
    path = os.environ.get("TNR_MD_EXAMPLE", os.path.join(BUILD, "examples", "nv12_denoise"))
    if not os.path.exists(path):
        pytest.fail(f"the C example {path} is missing (set TNR_MD_EXAMPLE)")
    return path


@pytest.fixture
def rng():
    """A seeded generator whose random seed is printed, and so shown when the test
    fails. TNR_MD_SEED=N replays a run."""
    seed = int(os.environ.get("TNR_MD_SEED", random.SystemRandom().randrange(1 << 32)))
    print(f"random seed {seed} (replay with TNR_MD_SEED={seed})")
    return np.random.default_rng(seed)
