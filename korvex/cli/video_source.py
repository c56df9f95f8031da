"""Two videos as a source of pairs: frame by frame, each plane a part of the comparison."""

import os

import korvex.cli.video as video
from korvex.cli.maps import display_map
from korvex.cli.messages import CommandLineError, PairError, note_once, shown
from korvex.cli.sources import Source


class VideoSource(Source):
    """Two videos, frame by frame: decoded in order in a thread ahead of the
    comparison (items), not by reader processes, since a video is decoded
    from its start. Frames are paired by their index. The planes are the
    parts compared: Y, or Y, U and V, whose figures are combined weighted by
    their samples (as FFmpeg's ssim filter does: 4:1:1 for 4:2:0 video).
    The worst frames' pictures are kept as they go by, for a report."""

    noun, many = "frame", True

    def __init__(self, first, second, frames, planes, pictures):
        self.first, self.second, self.planes = first, second, planes
        try:
            self.start, self.stop, self.notes, info = video.frames_to_compare(first, second, frames, planes)
            self.plane_sizes = video.plane_sizes(info, planes)
        except video.VideoError as error:
            raise CommandLineError(str(error)) from None
        self.rate, self.timing_noted = info["rate"], any(video.PAIRED_BY_INDEX in n for n in self.notes)
        self.names = [f"frame {n}" for n in range(self.start, self.stop)]
        self.input_files = {os.path.realpath(first), os.path.realpath(second)}
        self.worst = WorstFrames(pictures)
        self.wants_maps = pictures > 0
        self.compared_planes = len(self.plane_sizes)
        self.described = ", planes Y, U, V weighted by their samples" if planes == "yuv" else ", plane Y"

    def prepare(self, comparison):
        """Before the first frame: the crop of each plane, and the planes multi-scale SSIM can take, said once
        (the U and V planes of 4:2:0 video are half the frame's size)."""
        width, height = self.plane_sizes[0]
        crop = comparison.options["crop_border"]
        if 2 * crop >= min(width, height):
            raise CommandLineError(f"--crop-border {crop} drops {crop} pixels on every side of the frames and leaves "
                                   f"nothing of {width} x {height}")
        too_small = comparison.too_small((height, width))
        if too_small:
            raise CommandLineError(f"the frames are {too_small}")
        if self.compared_planes > 1:
            if crop:
                comparison.plane_crops.update(dict.fromkeys(video.PLANE_NAMES[1:], self.chroma_crop(crop)))
            width, height = self.plane_sizes[1]
            too_small = comparison.too_small((height, width), comparison.crop("u"))
            if too_small:
                self.compared_planes = 1
                self.described = ", plane Y (U and V too small)"
                note_once(f"--planes yuv: the U and V planes are {too_small}; only the Y plane is compared")

    def chroma_crop(self, crop):
        """The samples of the U and V planes under `crop` pixels of the frame: crop divided by the chroma's
        subsampling, which must divide it and be the same across and down (refused otherwise)."""
        (width, height), (chroma_width, chroma_height) = self.plane_sizes[:2]
        across, down = round(width / chroma_width), round(height / chroma_height)
        if crop % across == 0 and across == down:
            return crop // across
        if across != down:
            raise CommandLineError(f"--crop-border with --planes yuv: the U and V planes of this video are "
                                   f"subsampled {across}:1 across and {down}:1 down, so no one crop of them "
                                   "matches the frame's; use --planes y")
        raise CommandLineError(f"--crop-border {crop} with --planes yuv: the U and V planes hold one sample for "
                               f"{across} x {across} pixels, so the crop must be a multiple of {across} to drop "
                               "whole samples of them")

    def items(self, indices, workers):
        """(index, frame1, frame2, notes, error) as Source.items, decoded here. A frame that cannot be decoded
        ends the decoding: it and the frames after it become failed rows with the decoder's message."""
        if indices != list(range(len(self.names))):
            raise CommandLineError("videos are compared in one process (a video is decoded from its start); "
                                   "run the command without torchrun")
        pairs = video.frame_pairs(self.first, self.second, self.start, self.stop, self.planes)
        index = 0
        try:
            for _, frame1, frame2 in pairs:
                notes = []
                if not self.timing_noted:
                    note = video.timing_note(self.first, self.second, frame1, frame2, self.rate)
                    if note:
                        notes, self.timing_noted = [note], True
                yield index, frame1, frame2, notes, None
                index += 1
        except video.VideoError as error:
            failure = PairError(f"{error}; frames {self.start + index} to {self.stop - 1} are not compared")
            for rest in range(index, len(self.names)):
                yield rest, None, None, [], failure

    def parts(self, comparison, first, second):
        """The planes compared, each (1, H, W)."""
        count = self.compared_planes
        return [(name, x[None], y[None]) for name, x, y in zip(video.PLANE_NAMES, first.planes[:count],
                                                               second.planes[:count])]

    def compared(self, comparison, first, second, result, values):
        self.worst.offer(result[comparison.metric], first, second,
                         lambda: display_map(comparison, first.planes[0][None], second.planes[0][None])
                         if values is None else values)

    def labels(self, index):
        return f"{shown(self.first)}, frame {self.start + index}", f"{shown(self.second)}, frame {self.start + index}"

    def extra(self, index):
        return dict(frame=self.start + index)

    def report_items(self, comparison, summary):
        return self.worst.kept


class WorstFrames:
    """The pictures of the `count` lowest-scoring frames seen so far, for a report."""

    def __init__(self, count):
        self.count, self.kept = count, []

    def offer(self, score, decoded1, decoded2, y_map):
        """Keeps the frame pair's pictures if it is among the worst (converted for display only then).
        y_map: the Y plane's SSIM map, or a function that makes it."""
        if self.count <= 0 or (len(self.kept) == self.count and not score < self.kept[-1]["score"]):
            return
        self.kept.append(dict(name=f"frame {decoded1.number}", frame=decoded1.number, score=score,
                              image1=_display(decoded1.frame), image2=_display(decoded2.frame),
                              map=y_map() if callable(y_map) else y_map))
        self.kept.sort(key=lambda item: (item["score"], item["frame"]))
        del self.kept[self.count:]


def _display(frame):
    """A decoded frame as RGB in [0, 1], for the eye only (the scores never see this conversion)."""
    import numpy as np

    return np.moveaxis(frame.to_ndarray(format="rgb24"), -1, 0).astype(np.float32) / 255.0
