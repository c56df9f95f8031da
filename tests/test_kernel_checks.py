"""The kernels under the race check (ThreadSanitizer, one fiber per GPU thread)
and the bounds check (AddressSanitizer with tiles on the stack), built by
tools/kernel_checks.py without torch."""

import os
import re
import shutil
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))

import kernel_checks  # noqa: E402

pytestmark = [pytest.mark.ci, pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")]


PAIRS = [(variant, case) for case, outcomes in kernel_checks.CASES.items() for variant in outcomes]


@pytest.fixture(scope="module")
def executable(tmp_path_factory):
    """Builds each variant on first use."""
    built = {}

    def get(variant):
        if variant not in built:
            built[variant] = kernel_checks.build(variant, str(tmp_path_factory.mktemp(variant)))
        return built[variant]

    return get


@pytest.mark.parametrize("variant, case", PAIRS, ids=[f"{v}-{c}" for v, c in PAIRS])
def test_real_kernels_run_clean_and_faulty_ones_are_reported(executable, variant, case):
    status, output = kernel_checks.run(executable(variant), variant, case)
    problem = kernel_checks.verdict(variant, case, status, output)
    assert problem is None, problem


def test_every_launcher_is_run_by_the_checks():
    # A precision or map kind added later is checked once the driver runs it.
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    with open(os.path.join(root, "csrc", "ops", "launch.h")) as header:
        text = header.read()
    launchers = set(re.findall(r"^void (launch_\w+)\(", text, re.MULTILINE))
    enumerators = {f"{enum}::{name.strip()}" for enum, body in re.findall(r"enum class (\w+) \{([^}]*)\}", text)
                   for name in body.split(",")}
    with open(os.path.join(root, "tests", "cpp", "test_kernel_checks.cpp")) as driver:
        source = driver.read()
    called = set(re.findall(r"korvex::(launch_\w+)\(", source))
    assert launchers == {"launch_forward", "launch_backward", "launch_pool_forward", "launch_pool_backward",
                         "launch_map_sums", "launch_group_sums"}
    assert "korvex::launch_forward_sums(" in source
    assert launchers <= called, f"not run by the kernel checks: {sorted(launchers - called)}"
    assert {"Precision::Fp32", "Precision::Fp16", "MapKind::Ssim", "MapKind::ContrastStructure"} <= enumerators
    # The kernels are launched with the default border (zeros) only: the host operators pad the images for others.
    missing = {e for e in enumerators if e not in source and not e.startswith("Border::")}
    assert not missing, f"not run by the kernel checks: {sorted(missing)}"
    with open(os.path.join(root, "csrc", "ops", "volume_launch.h")) as header:
        volume_launchers = set(re.findall(r"^void (launch_\w+)\(", header.read(), re.MULTILINE))
    assert volume_launchers == {"launch_volume_forward", "launch_volume_backward"}
    assert volume_launchers <= called, f"not run by the kernel checks: {sorted(volume_launchers - called)}"
    # Both families: the window table's (taps null) and the run-time window's (taps set).
    assert "const float* taps" in text
    assert re.search(r"run_every_launcher\(radius, s, taps\.data\(\)\)", source), "the run-time window family"
