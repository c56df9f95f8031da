"""The CPU operators' outputs take memory that earlier outputs gave back: reused blocks must behave as fresh ones."""

import os
import subprocess
import sys

import pytest
import torch

import korvex
from photos import photo_pairs

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def idle_bytes():
    return korvex._modules.module_for(torch.device("cpu")).cache_bytes()[0]


def map_and_gradient(a, b, grad_map):
    x = a.clone().requires_grad_(True)
    value_map = korvex.ssim_map(x, b, padding="reflect")
    return value_map.detach(), torch.autograd.grad(value_map, x, grad_map)[0]


def test_reused_blocks_give_the_results_of_fresh_memory():
    # Photographs of three sizes, each map and gradient held while the next are computed, then all of them again
    # in the other order: every call takes blocks the calls before gave back (some a little larger than asked),
    # and must give the bits of a call on fresh memory.
    pairs = [(name, a, b, torch.rand(a.shape)) for crop in ((256, 256), (240, 256), (128, 160))
             for name, a, b in photo_pairs(crop)[::3]]
    fresh = []
    for _, a, b, grad_map in pairs:
        korvex.empty_cache()
        fresh.append(map_and_gradient(a, b, grad_map))
    for order in (range(len(pairs)), reversed(range(len(pairs)))):
        held = {k: map_and_gradient(*pairs[k][1:]) for k in order}
        pointers = [t.data_ptr() for outputs in held.values() for t in outputs]
        assert len(set(pointers)) == len(pointers), "two live outputs share a block"
        for k, (value_map, grad) in held.items():
            assert torch.equal(value_map, fresh[k][0]) and torch.equal(grad, fresh[k][1]), pairs[k][0]


def test_multi_scale_values_do_not_depend_on_what_the_cache_holds():
    a, b = photo_pairs(None)[0][1:]
    korvex.empty_cache()
    fresh = korvex.ms_ssim(a, b)
    # Blocks of every size the scales ask for, and some a little larger, are now idle.
    for _ in range(2):
        korvex.ms_ssim(a[..., :-30, :-30], b[..., :-30, :-30]), korvex.ms_ssim(a, b)
    assert korvex.ms_ssim(a, b).item() == fresh.item()


def test_idle_memory_is_kept_up_to_the_limit_and_freed_on_request():
    a, b = photo_pairs((256, 256))[0][1:]
    korvex.empty_cache()
    value_map = korvex.ssim_map(a, b)
    assert idle_bytes() == 0
    del value_map
    assert idle_bytes() >= a.numel() * 4  # the map's block, kept
    korvex.empty_cache()
    assert idle_bytes() == 0
    code = ("import torch, korvex\n"
            "x = torch.rand(1, 3, 512, 512)\n"
            "for _ in range(3): korvex.ssim(x, x.flip(-1))\n"
            "print(*korvex._modules.module_for(torch.device('cpu')).cache_bytes())\n")
    for setting, limit in (("1", 1 << 20), ("0", 0)):
        run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300,
                             env=dict(os.environ, KORVEX_CPU_CACHE_MIB=setting, PYTHONPATH=ROOT))
        assert run.returncode == 0, run.stderr
        idle, reported_limit = map(int, run.stdout.split())
        assert reported_limit == limit and idle <= limit


@pytest.mark.parametrize("setting", ["lots", "+5", "1048577"])
def test_a_malformed_cache_setting_is_refused_by_name(setting):
    # Refused at every call that allocates an output (a map: korvex.ssim without a gradient writes none), the same
    # way after the variable is gone (it was read once); empty_cache still works.
    code = ("import os, torch, korvex\n"
            "korvex.empty_cache()\n"
            "x = torch.rand(1, 3, 512, 512)\n"
            "try:\n"
            "    korvex.ssim_map(x, x)\n"
            "except ValueError as error:\n"
            "    print(error)\n"
            "del os.environ['KORVEX_CPU_CACHE_MIB']\n"
            "korvex.ssim_map(x, x)\n")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300,
                         env=dict(os.environ, KORVEX_CPU_CACHE_MIB=setting, PYTHONPATH=ROOT))
    message = f"KORVEX_CPU_CACHE_MIB must be a whole number of MiB from 0 to 1048576; got '{setting}'"
    assert run.returncode != 0
    assert message in run.stdout and message in run.stderr


@pytest.mark.parametrize("use", ["resize", "share", "save"])
def test_outputs_are_ordinary_tensors(use, tmp_path):
    a, b = photo_pairs((256, 256))[1][1:]
    value_map = korvex.ssim_map(a, b)
    before = value_map.clone()
    if use == "resize":  # the storage grows through the same allocator
        value_map.resize_(3, *before.shape[1:])
        assert torch.equal(value_map[:1], before)
    elif use == "share":
        assert torch.equal(value_map.share_memory_(), before) and value_map.is_shared()
    else:
        torch.save(value_map, tmp_path / "map.pt")
        assert torch.equal(torch.load(tmp_path / "map.pt"), before)
