"""The streaming metrics: per-image values summed over batches, counted, and synchronised over ranks."""

import os

import pytest
import torch
import torch.distributed as dist
import torch.multiprocessing as mp

import korvex
import reference as ref
from conftest import images
from photos import photo_pairs

WEIGHTS = (0.3, 0.3, 0.4)  # three scales: MS-SSIM of small images
WORLD_SIZE = 2


def evaluation_batches():
    """Batches of unequal sizes and images of unequal sizes, with their per-image values in float64."""
    pairs = [photo_pairs()[i] for i in (0, 4, 8, 12)]  # three photographs of 128 x 160, one of 96 x 112
    batches = [(a, b) for _, a, b in pairs]
    batches.append(images((3, 3, 40, 48), seed=1))
    batches.append(tuple(v[0] for v in images((1, 3, 45, 41), seed=2)))  # (C, H, W): one image
    per_image = []
    for a, b in batches:
        a4, b4 = (a, b) if a.dim() == 4 else (a[None], b[None])
        per_image += ref.ssim_map(a4, b4, 11).mean(dim=(1, 2, 3)).tolist()
    return batches, torch.tensor(per_image, dtype=torch.float64)


def test_streaming_ssim_is_the_mean_over_every_image_seen():
    batches, per_image = evaluation_batches()
    metric = korvex.metrics.StreamingSSIM()
    for a, b in batches:
        metric.update(a, b)
    assert metric.count == len(per_image) == 8
    value = metric.compute()
    assert value.dtype == torch.float32
    torch.testing.assert_close(value.double(), per_image.mean(), rtol=0, atol=1e-4)
    # One batch of equal images: the same as korvex.ssim's mean.
    metric.reset()
    with pytest.raises(ValueError, match="korvex: compute.. needs at least one image"):
        metric.compute()
    a, b = images((4, 3, 40, 48))
    metric.update(a[:3], b[:3])
    metric.update(a[3:], b[3:])
    torch.testing.assert_close(metric.compute(), korvex.ssim(a, b), rtol=0, atol=1e-6)


def test_streaming_options_and_ms_ssim():
    a, b = images((3, 3, 60, 64))
    metric = korvex.metrics.StreamingMS_SSIM(weights=WEIGHTS, window_size=7)
    metric.update(a[:1], b[:1])
    metric.update(a[1:], b[1:])
    torch.testing.assert_close(metric.compute().double(), ref.ms_ssim(a, b, 7, WEIGHTS).mean(), rtol=0, atol=1e-5)
    valid = korvex.metrics.StreamingSSIM(padding="valid", data_range=255.0)
    valid.update(a * 255, b * 255)
    torch.testing.assert_close(valid.compute(), korvex.ssim(a, b, padding="valid"), rtol=0, atol=1e-5)
    assert "padding='valid'" in repr(valid)
    with pytest.raises(ValueError, match="korvex: window_size must be an odd number of taps from 3 to 31"):
        korvex.metrics.StreamingSSIM(window_size=4)


def test_torchmetrics_metrics_agree_with_the_streaming_ones():
    pytest.importorskip("torchmetrics")
    import torchmetrics

    batches, per_image = evaluation_batches()
    metric = korvex.metrics.SSIMMetric()
    assert isinstance(metric, torchmetrics.Metric)
    for a, b in batches:
        metric.update(a, b)
    torch.testing.assert_close(metric.compute().double(), per_image.mean(), rtol=0, atol=1e-4)
    metric.reset()
    a, b = images((2, 3, 60, 64))
    multi = korvex.metrics.MS_SSIMMetric(weights=WEIGHTS)
    batch_value = multi(a, b)  # torchmetrics' forward: this batch's value, and the state updated
    torch.testing.assert_close(batch_value, korvex.ms_ssim(a, b, weights=WEIGHTS), rtol=0, atol=1e-6)
    torch.testing.assert_close(multi.compute(), batch_value, rtol=0, atol=1e-6)


def evaluate_rank(rank, store_path, out_dir):
    torch.set_num_threads(1)
    dist.init_process_group("gloo", init_method=f"file://{store_path}", rank=rank, world_size=WORLD_SIZE)
    try:
        a, b = images((5, 3, 44, 48))
        mine = slice(0, 4) if rank == 0 else slice(4, 5)  # unequal shares: the mean weighs images, not ranks
        metrics = [korvex.metrics.StreamingSSIM(), korvex.metrics.StreamingMS_SSIM(weights=WEIGHTS)]
        try:
            metrics += [korvex.metrics.SSIMMetric(), korvex.metrics.MS_SSIMMetric(weights=WEIGHTS)]
        except ImportError:
            pass
        for metric in metrics:
            metric.update(a[mine], b[mine])
        torch.save([metric.compute() for metric in metrics], os.path.join(out_dir, f"rank{rank}.pt"))
        # Both ranks done before either tears down: gloo can abort a rank whose peer closes the connection first.
        dist.barrier()
    finally:
        dist.destroy_process_group()


@pytest.mark.skipif(not dist.is_available() or not dist.is_gloo_available(), reason="torch without gloo")
def test_ranks_compute_the_mean_over_every_rank(tmp_path, monkeypatch):
    monkeypatch.setenv("GLOO_SOCKET_IFNAME", "lo")  # the ranks talk over loopback only
    mp.spawn(evaluate_rank, args=(str(tmp_path / "store"), str(tmp_path)), nprocs=WORLD_SIZE, join=True)

    a, b = images((5, 3, 44, 48))
    whole = [korvex.ssim(a, b), korvex.ms_ssim(a, b, weights=WEIGHTS)]
    for rank in range(WORLD_SIZE):
        values = torch.load(tmp_path / f"rank{rank}.pt")
        assert len(values) in (2, 4)
        for got, want in zip(values, whole + whole):
            torch.testing.assert_close(got, want, rtol=0, atol=1e-6)
