import os
import secrets
import zlib

import numpy as np
import pytest

# One seed per session (ZUN_TEST_SEED repeats a run); each test derives its own
# from it and its node id, so a failing test can be rerun alone.
SESSION_SEED = int(os.environ.get("ZUN_TEST_SEED", secrets.randbits(32)))


def pytest_report_header(config):
    return f"ZUN_TEST_SEED={SESSION_SEED}"


@pytest.fixture
def rng(request):
    seed = zlib.crc32(f"{SESSION_SEED}:{request.node.nodeid}".encode())
    # Captured output is shown with a failure.
    print(f"rng seed {seed} (ZUN_TEST_SEED={SESSION_SEED})")
    return np.random.default_rng(seed)


@pytest.fixture
def model_path(tmp_path):
    return str(tmp_path / "model.zun")


@pytest.fixture
def load_model(tmp_path):
    """Loads a model from raw bytes through a file, as users do."""
    from _zunmerak import ZUN

    counter = iter(range(1_000_000))

    def load(data: bytes):
        path = tmp_path / f"built-{next(counter)}.zun"
        path.write_bytes(data)
        return ZUN.load(str(path))

    return load
