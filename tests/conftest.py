import os
import sys

import pytest
import torch

sys.path.insert(0, os.path.dirname(__file__))

WINDOW_SIZES = (7, 9, 11)


@pytest.fixture(autouse=True)
def _seed():
    torch.manual_seed(0)


@pytest.fixture(scope="session")
def cpu():
    """The CPU module: the native engine."""
    from korvex import _cpu

    return _cpu


@pytest.fixture(scope="session")
def emulated():
    """The kernel sources on the CPU stand-in: what a GPU computes."""
    from korvex import _emulated

    return _emulated


def images(shape, seed=0, dtype=torch.float32):
    """Two related image batches in [0, 1]: a random image and a noisy copy."""
    gen = torch.Generator().manual_seed(seed)
    a = torch.rand(shape, generator=gen)
    b = (a + 0.2 * torch.randn(shape, generator=gen)).clamp(0, 1)
    return a.to(dtype), b.to(dtype)
