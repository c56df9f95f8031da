"""The comparison: the options of a run, checked once, and one path from the parts of a pair to its figures."""

import math

from korvex.cli.maps import middle_slice
from korvex.cli.messages import CommandLineError, PairError, note_once


def check_device(name, local_rank=None):
    import torch

    import korvex

    try:
        device = torch.device(name)
    except RuntimeError:
        raise CommandLineError(f"--device {name}: not a device; use cpu or cuda") from None
    if device.type == "cuda":
        if not torch.cuda.is_available():
            raise CommandLineError(f"--device {name}: no CUDA GPU is available here "
                                   "(torch.cuda.is_available() is False); use --device cpu")
        if device.index is None and local_rank is not None:
            device = torch.device("cuda", local_rank % torch.cuda.device_count())  # one GPU per process
        if device.index is not None and device.index >= torch.cuda.device_count():
            raise CommandLineError(f"--device {name}: this machine has {torch.cuda.device_count()} CUDA GPU(s)")
        if not korvex.has_cuda_module():
            raise CommandLineError(f"--device {name}: this korvex was built without its CUDA module "
                                   "(korvex._cuda_cu128); rebuild it with KORVEX_CUDA=1")
    elif device.type != "cpu":
        raise CommandLineError(f"--device {name}: korvex runs on cpu or cuda")
    return device


def volume_padding(options):
    """The padding the library computes volumes with under the command line's options (None where not given):
    the padding given or the preset's, else the library's default for volumes, which differs from that of
    images."""
    import korvex

    return korvex.Options(**dict(options, channels="all", crop_border=0)).for_dims(3).padding


def has_multi_scale(like):
    """Whether the library has multi-scale SSIM like that preset's library (None: korvex's own)."""
    import korvex

    return like is None or korvex.PRESETS[like].has_ms_ssim


class Comparison:
    """The options of a run, applied to one pair at a time."""

    def __init__(self, args, local_rank=None):
        import korvex

        self.device = check_device(args.device, local_rank)
        self.grey = args.grey
        if args.grey and args.channels not in (None, "all"):
            raise CommandLineError(f"--grey compares the BT.601 luminance and --channels {args.channels} a luma of "
                                   "its own; give one of them")
        # --channels as given (None: the preset's, or all): a luma asked for explicitly is refused for volumes.
        self.asked_channels = args.channels
        self.multi_scale = args.ms_ssim
        self.metric = "ms_ssim" if args.ms_ssim else "ssim"
        self.label = "MS-SSIM" if args.ms_ssim else "SSIM"
        # Options left unset take the preset's value (--like) or korvex's default; multi-scale SSIM keeps its own
        # default padding (valid). The data range is always set: the files are scaled to [0, 1] by their bit depth,
        # whatever the preset's library would assume (SSIM does not change when the images and their range scale
        # together: BasicSR's value on 0-255 files is that of the files in [0, 1] with range 1). With --grey the
        # images are the luminance, of one channel: a preset's luma does not apply.
        self.options = dict(window_size=args.window_size, data_range=args.data_range, padding=args.padding,
                            precision=args.precision, sigma=args.sigma, window=args.window,
                            sample_covariance=args.sample_covariance or None, like=args.like,
                            channels="all" if args.grey else args.channels, crop_border=args.crop_border)
        # The crop of each video plane compared ({"u": K / 2, ...}), where it differs from --crop-border: set by
        # the source of video frames.
        self.plane_crops = {}
        if args.ms_ssim:
            self.options["weights"] = list(korvex.MS_SSIM_WEIGHTS)
        # The options as korvex resolves them (presets and defaults filled in), once checked; its padding is that
        # of images, volumes have theirs.
        self.resolved = None
        self.volume_padding = None

    def check_options(self):
        """Refuses options the library refuses (a --data-range too large for
        its constants, ...) once, before the first pair, rather than once per pair."""
        import torch

        import korvex

        # Three channels, for a luma; the crop is checked by Options, and against each pair's size.
        probe = torch.zeros(1, 3, 16, 16, device=self.device)
        options = dict(self.options, padding="same", crop_border=0)
        options.pop("weights", None)
        try:
            self.resolved = korvex.Options(**self.options)
            korvex.ssim(probe, probe, **options)
        except OverflowError:
            raise CommandLineError(f"--data-range {self.options['data_range']:g}: too large for SSIM's constants "
                                   "(their squares overflow)") from None
        except (ValueError, TypeError) as error:
            message = " ".join(str(error).split()).removeprefix("korvex: ")
            for option in ("data_range", "window_size", "precision", "padding", "sigma", "window", "like",
                           "crop_border"):
                message = message.replace(option, "--" + option.replace("_", "-"))
            raise CommandLineError(f"the options are refused: {message}") from None
        self.volume_padding = volume_padding(self.options)
        if self.multi_scale and not has_multi_scale(self.resolved.like):
            others = [name for name in korvex.PRESETS if has_multi_scale(name)]
            raise CommandLineError(f"the options are refused: --like {self.resolved.like} has no multi-scale SSIM; "
                                   f"use --like {', '.join(others[:-1])} or {others[-1]} with --ms-ssim")

    def compare(self, parts, name1, name2, with_map=False):
        """The figures of one pair, and its SSIM map for a picture: (H, W), the first part's mean over its
        channels (a volume's middle slice); None for MS-SSIM or without `with_map`.

        parts: [(plane name or None, x, y)] as a source gives them, float32 tensors (C, H, W) or (C, D, H, W):
        one part for two images; one per plane for two video frames, whose figures are given per plane too and
        combined weighted by their samples. Every kind of pair passes here, so each fault is said one way.
        """
        result, first_map, lowest, weighted, samples = {}, None, None, 0.0, 0
        for plane, x, y in parts:
            self.check_pair(x, y, name1, name2, plane)
            value, values, low = self.measure(x, y, name1, plane)
            if values is not None:
                lowest = low if lowest is None else min(lowest, low)
                first_map = values if first_map is None else first_map
            if len(parts) > 1:
                result[f"{self.metric}_{plane}"] = value
            weighted, samples = weighted + value * x[0].numel(), samples + x[0].numel()
        x = parts[0][1]
        result = dict(width=x.shape[-1], height=x.shape[-2], channels=x.shape[0] if len(parts) == 1 else len(parts),
                      **({"depth": x.shape[1]} if x.dim() == 4 else {}), **result)
        result[self.metric] = value if len(parts) == 1 else weighted / samples
        if not math.isfinite(result[self.metric]):
            value = "NaN" if math.isnan(result[self.metric]) else result[self.metric]
            raise PairError(f"{name1} and {name2}: {self.label} is {value} (check --data-range "
                            "and the images' values); left out of the statistics")
        if lowest is not None:
            result["min_" + self.metric] = lowest
        # The map's mean over the channels only for a picture of it: it costs
        # as much as a third of the comparison.
        picture = None if first_map is None or not with_map else middle_slice(first_map.mean(0)).cpu().numpy()
        return result, picture

    def check_pair(self, x, y, name1, name2, plane=None):
        """Refuses two images (or planes) that cannot be compared: sizes, channels, too small."""
        which = f" (their {plane.upper()} planes)" if plane else ""
        if x.shape[1:] != y.shape[1:]:
            axes = "width x height" + (" x depth" if x.dim() == 4 or y.dim() == 4 else "")
            raise PairError(f"{name1} and {name2} differ in size{which}: {' x '.join(map(str, x.shape[:0:-1]))} "
                            f"and {' x '.join(map(str, y.shape[:0:-1]))} ({axes})")
        if x.shape[0] != y.shape[0]:
            kinds = {1: "greyscale", 3: "colour"}
            raise PairError(f"{name1} is {kinds[x.shape[0]]} and {name2} {kinds[y.shape[0]]}; "
                            "add --grey to compare their luminance")
        if x.dim() == 4 and self.asked_channels not in (None, "all"):
            raise PairError(f"{name1} and {name2} are volumes; --channels {self.asked_channels} takes the luma of "
                            "colour images, volumes are compared on all their channels (leave out --channels)")
        crop = self.crop(plane)
        if 2 * crop >= min(x.shape[1:]):
            raise PairError(f"{name1} and {name2} are {' x '.join(map(str, x.shape[:0:-1]))}{which}: "
                            f"--crop-border {crop} drops {crop} pixels on every side and leaves nothing")
        too_small = self.too_small(x.shape[1:], crop)
        if too_small:
            raise PairError(f"{name1} and {name2} are {too_small}{which}")

    def crop(self, plane=None):
        """The pixels dropped on every side of a part: --crop-border, or a video plane's share of it."""
        return self.plane_crops.get(plane, self.options["crop_border"])

    def options_for(self, x, plane=None):
        """The library's options for a part x (C, H, W) or (C, D, H, W): under a luma, a greyscale image is
        compared on its one channel (as BasicSR and pyiqa compare greyscale images), said once; a video plane
        gets its crop."""
        options = dict(self.options, crop_border=self.crop(plane))
        if self.resolved.channels != "all" and (x.shape[0] == 1 or x.dim() == 4):
            options["channels"] = "all"  # volumes: a luma asked for is refused by check_pair, a preset's is not
            if x.dim() == 3:
                note_once(f"greyscale images are compared on their one channel (the luma {self.resolved.channels} "
                          "is taken of colour images)")
        return options

    def measure(self, x, y, name, plane=None):
        """(the metric of two (C, ...) tensors, their SSIM map (C, ...) and its lowest value, or None and None
        for MS-SSIM); the library's refusals as a PairError."""
        import numpy as np

        import korvex

        options = self.options_for(x, plane)
        x, y = x[None].to(self.device), y[None].to(self.device)
        try:
            if self.multi_scale:
                return korvex.ms_ssim(x, y, **options).item(), None, None
            values = korvex.ssim_map(x, y, **options)[0]
        except (ValueError, RuntimeError, OverflowError, TypeError) as error:
            message = " ".join(str(error).split()) or type(error).__name__
            raise PairError(f"{name}: {message.removeprefix('korvex: ')}") from None
        # The mean in float64 by numpy: its sums do not depend on how many
        # threads torch runs, so that every layout of processes and threads
        # writes the same digits. The minimum by numpy too, which finds it
        # several times faster than torch here.
        array = values.cpu().numpy()
        return float(np.mean(array, dtype=np.float64)), values, float(array.min())

    def too_small(self, sides, crop=None):
        """None if multi-scale SSIM takes images (or volumes) of these sides ((H, W) or (D, H, W)) less the crop
        on every side (default --crop-border), else why not, in the command line's terms: "120 x 90, too small
        for ...". Only valid padding has a least size."""
        import korvex

        if not self.multi_scale or self.padding_of(volume=len(sides) == 3) != "valid":
            return None
        crop = self.options["crop_border"] if crop is None else crop
        window, scales = self.resolved.window_size, len(self.options["weights"])
        least = korvex.min_side(window, scales)
        if min(sides) - 2 * crop >= least:
            return None
        cropped = f" ({' x '.join(str(s - 2 * crop) for s in reversed(sides))} once --crop-border drops {crop} " \
                  "on every side)" if crop else ""
        return (f"{' x '.join(map(str, reversed(sides)))}{cropped}, too small for MS-SSIM with padding valid, "
                f"which needs {least} pixels a side or more (window {window}, {scales} scales); --padding same "
                "takes any size, a smaller --window-size smaller ones")

    def padding_of(self, volume):
        """The padding the library computes images (or volumes) with."""
        return self.volume_padding if volume else self.resolved.padding

    def paddings(self, kinds):
        """{kind: padding} of the kinds of pairs ("image", "volume") a source holds, images first."""
        return {kind: self.padding_of(kind == "volume") for kind in ("image", "volume") if kind in kinds}

    def padding_text(self, kinds):
        """"padding valid"; "padding same for images, valid for volumes" when a run holds both and they differ."""
        paddings = self.paddings(kinds)
        if len(set(paddings.values())) == 1:
            return f"padding {next(iter(paddings.values()))}"
        return "padding " + ", ".join(f"{padding} for {kind}s" for kind, padding in paddings.items())

    def window_text(self):
        """"window 11", "uniform window 7", "window 15 (sigma 2)": the window as a reader needs it."""
        options = self.resolved
        if options.window == "uniform":
            text = f"uniform window {options.window_size}"
        else:
            text = f"window {options.window_size}"
            if not options.on_table:
                text += f" (sigma {options.sigma:g})"
        if options.sample_covariance:
            text += ", sample covariance"
        if options.like:
            text += f", like {options.like}"
        return text

    def channels_text(self, colour=True):
        """", luma y", ", crop border 4": the channels and the crop, when not the defaults (no luma for
        greyscale images, compared on their one channel)."""
        text = f", luma {self.resolved.channels}" if self.resolved.channels != "all" and colour else ""
        return text + (f", crop border {self.resolved.crop_border}" if self.resolved.crop_border else "")

    def describe(self, kinds=("image",), channels=1):
        """The options compared, for the summary: kinds, those of the pairs ("image", "volume"), for the padding."""
        text = self.window_text()
        if self.options["data_range"] != 1.0:
            text += f", data range {self.options['data_range']:g}"
        text += ", " + self.padding_text(kinds) + self.channels_text()
        if self.multi_scale:
            text += ", weights " + " ".join(f"{w:g}" for w in self.options["weights"])
        if channels > 1:
            text += f", mean over {channels} channels"
        return text

