"""Video files for the command line: decoding two videos frame by frame, in step.

Frames are decoded with PyAV (FFmpeg's libraries) and compared on their
planes as decoded: the luma plane Y by default, or Y, U and V with
planes="yuv". Samples are scaled by their bit depth, 2**bits - 1 (255 for
8-bit video, 1023 for 10-bit), with no range or colour conversion: a
limited-range video is compared on its 16..235 codes as they are, which is
what video quality tools do.
"""

import collections
import queue
import re
import threading

VIDEO_SUFFIXES = (".mp4", ".mkv", ".mov", ".avi", ".webm", ".m4v", ".mpg", ".mpeg", ".ts", ".mts", ".m2ts",
                  ".flv", ".wmv", ".ogv", ".y4m", ".nut", ".ivf", ".h264", ".264", ".h265", ".265", ".hevc")

# Planar YUV and greyscale pixel formats, whose planes hold one component each
# in the low bits of 1 or 2 bytes: yuv420p, yuvj444p, yuva420p, yuv420p10le,
# gray, gray12le and so on. Semi-planar (nv12, p010) and RGB formats are not.
PLANAR_FORMAT = re.compile(r"^(yuvj?a?\d{3}p|gray)(\d+)?(le|be)?$")

PLANE_NAMES = ("y", "u", "v")


# A decoded frame: its number in the video, its planes as frame_planes gives
# them, and PyAV's frame (for pictures in a report).
Decoded = collections.namedtuple("Decoded", "number planes frame")


class VideoError(Exception):
    """A video that cannot be compared as asked; one line for the user."""


def is_video_file(path):
    return path.lower().endswith(VIDEO_SUFFIXES)


def _import_av():
    try:
        import av
    except ImportError:
        raise VideoError("comparing videos needs PyAV: pip install av (in a checkout of korvex: "
                         "pip install --no-build-isolation '.[video]')") from None
    return av


def open_video(path):
    """(container, its first video stream), decoded with FFmpeg's own threads."""
    av = _import_av()
    try:
        container = av.open(path)
    except FileNotFoundError:
        raise VideoError(f"{path}: no such file") from None
    except (av.FFmpegError, OSError, ValueError) as error:
        raise VideoError(f"{path}: cannot be read as a video ({error})") from None
    if not container.streams.video:
        container.close()
        raise VideoError(f"{path}: holds no video stream")
    stream = container.streams.video[0]
    stream.thread_type = "AUTO"
    return container, stream


def describe_video(path):
    """dict(frames, width, height, format, rate) from the headers and a pass over the packets (no decoding);
    rate is the frame rate the headers state (a Fraction), or None."""
    container, stream = open_video(path)
    try:
        context = stream.codec_context
        info = dict(width=context.width, height=context.height, format=context.format.name if context.format else "",
                    rate=stream.average_rate or stream.guessed_rate)
        # Headers often lack the frame count (Matroska) or state it from an
        # index; counting the packets reads the file once but decodes nothing.
        info["frames"] = sum(1 for packet in container.demux(stream) if packet.size > 0)
    except Exception as error:  # FFmpeg's errors while reading a damaged file
        raise VideoError(f"{path}: cannot be read as a video ({error})") from None
    finally:
        container.close()
    return info


def parse_frames(text):
    """--frames START:STOP (frame numbers from 0, STOP excluded; either may be left out) -> (start, stop)."""
    match = re.fullmatch(r"\s*(\d*)\s*:\s*(\d*)\s*", text)
    if not match:
        raise ValueError(f"--frames {text}: expected START:STOP, e.g. 0:100 or 10: or :250 (frames from 0, "
                         "STOP excluded)")
    start = int(match[1]) if match[1] else 0
    stop = int(match[2]) if match[2] else None
    if stop is not None and stop <= start:
        raise ValueError(f"--frames {text}: STOP must be greater than START")
    return start, stop


def frames_to_compare(path1, path2, frames, planes):
    """(start, stop, notes, info) of the frames to compare, after checking the two videos against each other.

    frames is None or the (start, stop) of --frames. Different frame counts
    are an error unless --frames says which frames to compare; a STOP past
    the end of the shorter video is cut to its end, with a note. Different
    sizes or pixel formats of different plane layouts are always an error.
    info: the first video's dict from describe_video.
    """
    first, second = describe_video(path1), describe_video(path2)
    if (first["width"], first["height"]) != (second["width"], second["height"]):
        raise VideoError(f"{path1} and {path2} differ in size: {first['width']} x {first['height']} and "
                         f"{second['width']} x {second['height']} (width x height)")
    for path, info in ((path1, first), (path2, second)):
        check_format(path, info["format"], planes)
    notes = []
    if first["rate"] and second["rate"] and first["rate"] != second["rate"]:
        notes.append(f"{path1} runs at {float(first['rate']):g} frames per second and {path2} at "
                     f"{float(second['rate']):g}; " + PAIRED_BY_INDEX)
    count = min(first["frames"], second["frames"])
    if frames is None:
        if first["frames"] != second["frames"]:
            raise VideoError(f"{path1} has {first['frames']} frames and {path2} {second['frames']}; "
                             f"say which to compare with --frames, e.g. --frames 0:{count}")
        return 0, count, notes, first
    start, stop = frames
    if start >= count:
        raise VideoError(f"--frames {start}:{stop if stop is not None else ''}: "
                         f"the videos have {count} frames, frame {start} is past the end")
    if stop is not None and stop > count:
        lengths = (f"{path1} has {first['frames']} frames and {path2} {second['frames']}"
                   if first["frames"] != second["frames"] else f"the videos have {count} frames")
        notes.append(f"--frames {start}:{stop}: {lengths}; frames {start} to {count - 1} are compared")
        stop = count
    return start, count if stop is None else stop, notes, first


# Frames are paired by their place in the video, as FFmpeg's ssim filter
# pairs them without a timestamp filter: said once when the videos' timing differs.
PAIRED_BY_INDEX = "frames are paired by their index (frame n with frame n), not by their timestamps"


def timing_note(path1, path2, decoded1, decoded2, rate):
    """A note when two frames paired by index are shown at different times (by more than half a frame), else
    None. rate: the first video's frame rate (a Fraction) or None."""
    time1, time2 = decoded1.frame.time, decoded2.frame.time
    if time1 is None or time2 is None:
        return None
    tolerance = 0.5 / float(rate) if rate else 0.001
    if abs(time1 - time2) <= tolerance:
        return None
    return (f"frame {decoded1.number} is at {time1:.3f} s in {path1} and at {time2:.3f} s in {path2}; "
            + PAIRED_BY_INDEX)


def check_format(path, name, planes):
    match = PLANAR_FORMAT.match(name)
    if not match:
        raise VideoError(f"{path}: frames decode as {name or 'an unknown pixel format'}, which is not planar YUV "
                         "or greyscale; only those are compared")
    if planes == "yuv" and match[1] == "gray":
        raise VideoError(f"{path}: a greyscale video ({name}) has no U and V planes; leave out --planes yuv")


def frame_planes(frame, planes):
    """The planes of a decoded frame as (H, W) float32 tensors scaled by the bit depth: [Y] or [Y, U, V]."""
    import numpy as np
    import torch

    fmt = frame.format
    check_format("frame", fmt.name, planes)
    bits = fmt.components[0].bits
    dtype = np.dtype(np.uint8) if bits <= 8 else np.dtype(">u2" if fmt.name.endswith("be") else "<u2")
    white = np.float32(2**bits - 1)
    out = []
    for index in range(1 if planes == "y" else 3):
        plane = frame.planes[index]
        rows = np.frombuffer(plane, dtype=dtype).reshape(plane.height, plane.line_size // dtype.itemsize)
        samples = rows[:, :plane.width].astype(np.float32) / white
        out.append(torch.from_numpy(samples))
    return out


def decoded_frames(path, start, stop):
    """Yields (number, frame) for frames start..stop-1 of the first video stream; a frame that cannot be
    decoded raises VideoError with the decoder's message."""
    container, stream = open_video(path)
    number = 0  # the frame being decoded
    try:
        for frame in container.decode(stream):
            if number >= stop:
                break
            if number >= start:
                yield number, frame
            number += 1
    except _import_av().FFmpegError as error:
        # FFmpeg's message less its error number: "Invalid data found when processing input: ..."
        detail = re.sub(r"^\[Errno -?\d+\]\s*", "", " ".join(str(error).split()))
        raise VideoError(f"{path}: frame {number} cannot be decoded ({detail})") from None
    finally:
        container.close()


def frame_pairs(path1, path2, start, stop, planes, prefetch=4):
    """Yields (number, Decoded of the first video, Decoded of the second), decoded in a thread ahead of the
    caller.

    FFmpeg decodes without Python's interpreter lock, so decoding the next
    frames overlaps with the comparison of this one.
    """
    pairs = queue.Queue(maxsize=prefetch)
    done = object()
    stopping = threading.Event()

    def produce():
        try:
            frames1, frames2 = decoded_frames(path1, start, stop), decoded_frames(path2, start, stop)
            for (number, frame1), (_, frame2) in zip(frames1, frames2):
                if stopping.is_set():
                    return
                pairs.put((number, Decoded(number, frame_planes(frame1, planes), frame1),
                           Decoded(number, frame_planes(frame2, planes), frame2)))
            pairs.put(done)
        except BaseException as error:  # handed to the consumer, which raises it
            pairs.put(error)

    worker = threading.Thread(target=produce, daemon=True)
    worker.start()
    expected = start
    try:
        while True:
            item = pairs.get()
            if item is done:
                break
            if isinstance(item, BaseException):
                if isinstance(item, VideoError):
                    raise item
                raise VideoError(f"{path1}, {path2}: decoding failed after frame {expected - 1} ({item})")
            expected = item[0] + 1
            yield item
    finally:
        stopping.set()
        while worker.is_alive():  # unblock a producer waiting on a full queue
            try:
                pairs.get(timeout=0.05)
            except queue.Empty:
                pass
    if expected != stop:
        raise VideoError(f"{path1}, {path2}: no frame could be decoded from frame {expected} on, though the "
                         f"videos hold packets for {stop} frames")


def plane_sizes(info, planes):
    """[(width, height)] of the planes compared, Y first, from describe_video's info."""
    av = _import_av()
    components = av.VideoFormat(info["format"], info["width"], info["height"]).components
    return [(c.width, c.height) for c in components[:1 if planes == "y" else 3]]
