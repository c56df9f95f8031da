"""korvex inside DistributedDataParallel: two processes, gloo, on the CPU.

Each rank trains on half of the batch; DDP averages the gradients, which must
equal those of one process on the whole batch.
"""

import os

import pytest
import torch
import torch.distributed as dist
import torch.multiprocessing as mp

import korvex

WORLD_SIZE = 2


def model_and_batch():
    torch.manual_seed(0)
    model = torch.nn.Sequential(torch.nn.Conv2d(3, 8, 3, padding=1), torch.nn.ReLU(),
                                torch.nn.Conv2d(8, 3, 3, padding=1), torch.nn.Sigmoid())
    noisy = torch.rand(4, 3, 32, 40)
    clean = (noisy + 0.1 * torch.randn(noisy.shape)).clamp(0, 1)
    return model, noisy, clean


def loss_fn(output, target):
    return 1 - korvex.ssim(output, target, window_size=7) + 0.1 * torch.nn.functional.l1_loss(output, target)


def train_rank(rank, store_path, out_dir):
    torch.set_num_threads(1)
    dist.init_process_group("gloo", init_method=f"file://{store_path}", rank=rank, world_size=WORLD_SIZE)
    try:
        model, noisy, clean = model_and_batch()
        ddp = torch.nn.parallel.DistributedDataParallel(model)
        part = slice(rank * 2, rank * 2 + 2)
        loss_fn(ddp(noisy[part]), clean[part]).backward()
        torch.save([p.grad for p in model.parameters()], os.path.join(out_dir, f"rank{rank}.pt"))
    finally:
        dist.destroy_process_group()


@pytest.mark.skipif(not dist.is_available() or not dist.is_gloo_available(), reason="torch without gloo")
def test_ranks_receive_the_gradients_of_the_whole_batch(tmp_path, monkeypatch):
    monkeypatch.setenv("GLOO_SOCKET_IFNAME", "lo")  # the ranks talk over loopback only
    mp.spawn(train_rank, args=(str(tmp_path / "store"), str(tmp_path)), nprocs=WORLD_SIZE, join=True)

    model, noisy, clean = model_and_batch()
    loss_fn(model(noisy), clean).backward()
    for rank in range(WORLD_SIZE):
        grads = torch.load(tmp_path / f"rank{rank}.pt")
        for got, want in zip(grads, (p.grad for p in model.parameters())):
            torch.testing.assert_close(got, want, rtol=1e-4, atol=1e-6)
