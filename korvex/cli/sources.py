"""Sources of pairs: two image (or volume) files, two folders of them, the built-in sample; two videos are in
video_source.py. Every source answers the questions of Source, so that one pipeline reads, compares and writes
them all."""

import os

import korvex.cli.images as images
from korvex.cli.folders import image_files, match_names
from korvex.cli.images import MAX_VOXELS
from korvex.cli.maps import display_map
from korvex.cli.messages import CommandLineError, few, shown


def kind_of(name):
    """"volume" for a volume file (read as (C, D, H, W)), else "image"."""
    return "volume" if images.is_volume_file(name) else "image"


class Source:
    """What the pipeline asks of a source of pairs, with the answers of a
    source whose pairs are read by index in reader processes.

    names            one name per pair, in the order of the rows
    noun             "pair" (or "frame"), for the messages and the summary
    many             True: per-pair lines and a summary; False: one pair reported in full
    map_names        True: a --map folder with one picture per pair; False: --map is one file
    input_files      real paths of every input file, and input_folders those of
    input_folders    the input folders: no output may overwrite or lie among them
    unmatched        dict for the JSON of inputs without a partner
    notes            remarks for the user, said once the outputs are checked
    wants_maps       whether compared() needs every pair's SSIM map
    described        what the summary adds to the options compared (", plane Y")
    kinds            the kinds of pairs held, "image" and "volume", which the library pads apart
    """

    noun, many, map_names, wants_maps, described = "pair", False, False, False, ""
    kinds = frozenset({"image"})
    input_files, input_folders, unmatched, notes = frozenset(), (), {}, ()

    def items(self, indices, workers):
        """An iterator of (index, first, second, notes, error or None) in the order of `indices`: the pairs read
        by `workers` processes ahead of the comparison (read() runs there, so the source must be picklable)."""
        from korvex.cli.pipeline import read_pairs

        return read_pairs(self, indices, workers)

    def read(self, index):
        """(img1, img2, notes): two arrays as images.load gives them, and a list of remarks; raises PairError."""
        raise NotImplementedError

    def labels(self, index):
        """The two inputs of a pair as the messages name them."""
        raise NotImplementedError

    def extra(self, index):
        """Fields added to the pair's row (the second file's name, the frame number)."""
        return {}

    def parts(self, comparison, first, second):
        """What is compared, [(plane name or None, x, y)]: one part here, the two images as float32 tensors in
        [0, 1], (C, H, W) or (C, D, H, W); their luminance with --grey."""
        img1, img2 = images.scaled(first), images.scaled(second)
        if comparison.grey:
            img1, img2 = images.luminance(img1), images.luminance(img2)
        return [(None, img1, img2)]

    def prepare(self, comparison):
        """Checks what the options ask of the inputs before the first pair (the options are resolved by then)."""

    def compared(self, comparison, first, second, result, values):
        """Told of every pair compared: its row's figures and its map (when wants_maps or --map)."""

    def report_items(self, comparison, summary):
        """The worst pairs read again, with their SSIM maps, for the report."""
        import numpy as np

        index_of = {name: index for index, name in enumerate(self.names)}
        items = []
        for entry in summary.get("worst", []):
            first, second, _ = self.read(index_of[entry["name"]])
            _, img1, img2 = self.parts(comparison, first, second)[0]
            values = display_map(comparison, img1, img2)
            if img1.dim() == 4:  # volumes: the middle slice, as the map
                img1, img2 = img1[:, img1.shape[1] // 2], img2[:, img2.shape[1] // 2]
            items.append(dict(name=entry["name"], score=entry[comparison.metric], image1=np.asarray(img1),
                              image2=np.asarray(img2), map=values))
        return items


class FilePairSource(Source):
    """Two image (or volume) files."""

    def __init__(self, first, second, max_voxels=MAX_VOXELS):
        self.first, self.second, self.max_voxels = first, second, max_voxels
        self.names = [first]
        self.input_files = {os.path.realpath(first), os.path.realpath(second)}
        self.kinds = frozenset({kind_of(first)})

    def read(self, index):
        img1, notes1 = images.load(self.first, self.max_voxels)
        img2, notes2 = images.load(self.second, self.max_voxels)
        return img1, img2, notes1 + notes2

    def labels(self, index):
        return shown(self.first), shown(self.second)


class SamplePairSource(Source):
    """scikit-image's camera man, and a copy with Gaussian noise (sigma 0.1)."""

    names = ["camera"]

    def read(self, index):
        import numpy as np
        import torch

        try:
            from skimage import data
        except ImportError:
            raise CommandLineError("the built-in sample pair needs scikit-image: pip install scikit-image; "
                                   "or give two images") from None
        clean = torch.from_numpy(data.camera().astype(np.float32) / 255.0)[None]
        noise = torch.randn(clean.shape, generator=torch.Generator().manual_seed(0)) * 0.1
        return clean.numpy(), (clean + noise).clamp(0, 1).numpy(), []

    def labels(self, index):
        return "camera", "camera + noise (sigma 0.1)"


class FolderSource(Source):
    """Two folders of images, matched by relative path (or by stem)."""

    many, map_names = True, True

    def __init__(self, first, second, max_voxels=MAX_VOXELS):
        self.first, self.second, self.max_voxels = first, second, max_voxels
        (names_a, skipped_a), (names_b, skipped_b) = image_files(first), image_files(second)
        self.notes = [f"{shown(os.path.join(top, name))} is skipped: {why}"
                      for top, skipped in ((first, skipped_a), (second, skipped_b)) for name, why in skipped]
        self.pairs, only_first, only_second = match_names(names_a, names_b)
        if not self.pairs:
            raise CommandLineError(f"no image in {shown(first)} has a partner in {shown(second)} (same name, or "
                                   f"same name but for the extension); in the first: {few(names_a)}; "
                                   f"in the second: {few(names_b)}")
        self.names = [a for a, _ in self.pairs]
        self.kinds = frozenset(kind_of(a) for a in self.names)
        self.input_files = {os.path.realpath(os.path.join(first, n)) for n in names_a}
        self.input_files |= {os.path.realpath(os.path.join(second, n)) for n in names_b}
        self.input_folders = [os.path.realpath(first), os.path.realpath(second)]
        self.unmatched = dict(only_in_first=only_first, only_in_second=only_second)

    def read(self, index):
        img1, notes1 = images.load(os.path.join(self.first, self.pairs[index][0]), self.max_voxels)
        img2, notes2 = images.load(os.path.join(self.second, self.pairs[index][1]), self.max_voxels)
        return img1, img2, notes1 + notes2

    def labels(self, index):
        a, b = self.pairs[index]
        return shown(os.path.join(self.first, a)), shown(os.path.join(self.second, b))

    def extra(self, index):
        a, b = self.pairs[index]
        return {} if a == b else dict(second_name=b)
