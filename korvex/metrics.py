"""Streaming SSIM and MS-SSIM for evaluation loops.

    metric = korvex.metrics.StreamingSSIM(data_range=1.0)
    for preds, target in loader:
        metric.update(preds, target)
    value = metric.compute()      # the mean over every image seen, on every rank
    metric.reset()

update() adds each image's value (korvex.ssim or korvex.ms_ssim with
reduction="none" and the options given; update(preds, target, mask) takes
each image's weighted mean under the mask) to a running sum and counts the
images; compute() divides, after summing both over the ranks of
torch.distributed when a process group is initialised, so every rank gets the
mean over all images of all ranks. The sums are float64 on the CPU: the
per-image values are copied there (a few bytes per image), so the images may
be on any device and no precision is lost over millions of images.

SSIMMetric and MS_SSIMMetric are the same metrics as torchmetrics.Metric
subclasses (torchmetrics synchronises their states, and Lightning logs them);
they are defined on first use, so importing korvex never imports torchmetrics.
"""

import dataclasses

import torch

from ._options import Options
from ._peers import PEER_ARGUMENTS, refuse_arguments
from .functional import ssim_with
from .multiscale import MS_SSIM_WEIGHTS, ms_ssim_with


# The options korvex's metrics read (the others go to torchmetrics.Metric, which refuses what it does not know).
_OPTION_NAMES = tuple(f.name for f in dataclasses.fields(Options))


# Options of korvex.ssim and korvex.ms_ssim that a metric does not use, with what to do instead: an option a metric
# ignored (or one that changed another option's default, as weights changes the padding) would change its number
# without a word.
_REDUCTION = "reduction: a metric averages the per-image values of every image given to update()"
_UNUSED_OPTIONS = {
    "SSIM": {"weights": "weights: these are MS-SSIM's per-scale weights; use StreamingMS_SSIM or MS_SSIMMetric",
             "reduction": _REDUCTION},
    "MS-SSIM": {"reduction": _REDUCTION},
}


def _refuse_unused(kind, options):
    unused = [_UNUSED_OPTIONS[kind][name] for name in options if name in _UNUSED_OPTIONS[kind]]
    if unused:
        raise TypeError(f"korvex: the {kind} metrics do not take " + "; ".join(unused))


def _ssim_options(**options):
    refuse_arguments("the SSIM metrics", [name for name in options if name not in _OPTION_NAMES])
    _refuse_unused("SSIM", options)
    return Options(reduction="none", **options)


def _ms_ssim_options(weights=MS_SSIM_WEIGHTS, **options):
    refuse_arguments("the MS-SSIM metrics", [name for name in options if name not in _OPTION_NAMES])
    _refuse_unused("MS-SSIM", options)
    return Options(reduction="none", weights=weights, **options)


def _per_image(function, options, preds, target, mask):
    """The per-image values of a batch (under the mask: see korvex.ssim), float64 on the CPU; (C, H, W) images
    count as one."""
    with torch.no_grad():
        return function(preds, target, options, mask).detach().to("cpu", torch.float64)


def _no_images():
    return ValueError("korvex: compute() needs at least one image: call update(preds, target) first")


def _sum_over_ranks(total, count):
    """(total, count) summed over the ranks of the default process group, if one is initialised."""
    import torch.distributed as dist

    if not (dist.is_available() and dist.is_initialized()) or dist.get_world_size() == 1:
        return total, count
    # NCCL reduces CUDA tensors only; the other backends take CPU tensors.
    device = (torch.device("cuda", torch.cuda.current_device()) if dist.get_backend() == "nccl"
              else torch.device("cpu"))
    # Image counts are exact in float64 up to 2^53.
    state = torch.stack([total, count.to(torch.float64)]).to(device)
    dist.all_reduce(state)
    state = state.cpu()
    return state[0], state[1].to(torch.int64)


class _Streaming:
    """The running sum of per-image values and the image count; subclasses name the function."""

    def __init__(self, function, options):
        self._function, self.options = function, options
        self.reset()

    def update(self, preds, target, mask=None):
        """Adds the value of each image of the batch; under a mask, the weighted mean of its map (an image whose
        mask is all zero adds NaN, which makes compute() NaN)."""
        values = _per_image(self._function, self.options, preds, target, mask)
        self.total += values.sum()
        self.count += values.numel()

    def compute(self):
        """The mean per-image value over every image given to update() since reset(), on every rank; float32."""
        total, count = _sum_over_ranks(self.total, self.count)
        if count == 0:
            raise _no_images()
        return (total / count).float()

    def reset(self):
        self.total = torch.zeros((), dtype=torch.float64)
        self.count = torch.zeros((), dtype=torch.int64)

    def __repr__(self):
        return f"{type(self).__name__}({self.options.describe()})"


class StreamingSSIM(_Streaming):
    """The mean SSIM over a stream of batches; keyword-only options as korvex.ssim (default padding "same")."""

    def __init__(self, **options):
        super().__init__(ssim_with, _ssim_options(**options))


class StreamingMS_SSIM(_Streaming):
    """The mean MS-SSIM over a stream of batches; keyword-only options as korvex.ms_ssim (default padding
    "valid")."""

    def __init__(self, **options):
        super().__init__(ms_ssim_with, _ms_ssim_options(**options))


def _torchmetrics_class(name, function, parse_options, doc):
    try:
        import torchmetrics
    except ImportError:
        raise ImportError(f"korvex: {name} is a torchmetrics.Metric and needs torchmetrics (pip install "
                          "torchmetrics); StreamingSSIM and StreamingMS_SSIM work without it") from None

    class Metric(torchmetrics.Metric):
        is_differentiable = False
        higher_is_better = True
        full_state_update = False

        def __init__(self, **options):
            refuse_arguments(f"{name}()", [k for k in options if k in PEER_ARGUMENTS])
            korvex_options = {k: options.pop(k) for k in list(options) if k in _OPTION_NAMES}
            super().__init__(**options)  # torchmetrics' own (sync_on_compute, process_group, ...)
            self.options = parse_options(**korvex_options)
            self.add_state("total", default=torch.zeros((), dtype=torch.float64), dist_reduce_fx="sum")
            self.add_state("count", default=torch.zeros((), dtype=torch.int64), dist_reduce_fx="sum")

        def update(self, preds, target, mask=None):
            values = _per_image(function, self.options, preds, target, mask)
            self.total += values.sum().to(self.total.device)
            self.count += values.numel()

        def compute(self):
            if self.count == 0:
                raise _no_images()
            return (self.total / self.count).float()

    Metric.__name__ = Metric.__qualname__ = name
    Metric.__module__ = __name__
    Metric.__doc__ = doc
    return Metric


_TORCHMETRICS_CLASSES = {
    "SSIMMetric": (ssim_with, _ssim_options, "StreamingSSIM as a torchmetrics.Metric: the mean SSIM of every image "
                   "given to update(), synchronised by torchmetrics; options as korvex.ssim, plus torchmetrics'."),
    "MS_SSIMMetric": (ms_ssim_with, _ms_ssim_options, "StreamingMS_SSIM as a torchmetrics.Metric: the mean MS-SSIM of "
                      "every image given to update(); options as korvex.ms_ssim, plus torchmetrics'."),
}


def __getattr__(name):
    # The torchmetrics classes are made on first use: importing torchmetrics takes seconds.
    if name not in _TORCHMETRICS_CLASSES:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    cls = _torchmetrics_class(name, *_TORCHMETRICS_CLASSES[name])
    globals()[name] = cls
    return cls


__all__ = ["StreamingSSIM", "StreamingMS_SSIM", "SSIMMetric", "MS_SSIMMetric"]
