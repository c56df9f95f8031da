"""The command: its arguments to a source of pairs, the pairs to rows, the rows to a summary and the outputs."""

import os
import sys
import time

import korvex.cli.video as video
from korvex.cli.compare import Comparison
from korvex.cli.folders import not_regular
from korvex.cli.images import is_volume_file
from korvex.cli.messages import CommandLineError, ReaderMayLeave, emit, few, forget_notes, note_once, shown
from korvex.cli.options import parser
from korvex.cli.outputs import check_outputs, write_outputs
from korvex.cli.pipeline import compare_pairs, default_workers, join_processes, local_rank
from korvex.cli.sources import FilePairSource, FolderSource, SamplePairSource
from korvex.cli.video_source import VideoSource


def summarise(comparison, rows, worst):
    """Statistics over the pairs that were compared (failed ones are counted apart)."""
    import numpy as np

    metric = comparison.metric
    scores = sorted((r[metric], r["name"]) for r in rows if metric in r)
    failed = sum(1 for r in rows if "error" in r)
    if not scores:
        return dict(pairs=0, failed=failed)
    values = np.array([s for s, _ in scores], dtype=np.float64)
    summary = dict(pairs=len(scores), failed=failed, mean=float(values.mean()), std=float(values.std()),
                   median=float(np.median(values)), min=float(values[0]), max=float(values[-1]),
                   worst=[dict(name=n, **{metric: s}) for s, n in scores[:worst]])
    folders = {}
    for r in rows:
        if metric in r:
            folders.setdefault(os.path.dirname(r["name"]), []).append(r[metric])
    if len(folders) > 1:
        summary["folders"] = {folder or ".": dict(pairs=len(v), mean=float(np.mean(v)))
                              for folder, v in sorted(folders.items())}
    return summary


def print_summary(source, comparison, args, rows, summary, elapsed):
    noun = source.noun
    label = comparison.label
    width = max(len(shown(r["name"])) for r in rows)
    print()
    if summary["pairs"]:
        what = comparison.describe(source.kinds) + source.described
        print(f"{summary['pairs']} {noun}s compared ({what}): mean {label} {summary['mean']:.6f}, "
              f"std {summary['std']:.6f}, median {summary['median']:.6f}, min {summary['min']:.6f}, "
              f"max {summary['max']:.6f}")
        print(f"worst {len(summary['worst'])}:")
        for entry in summary["worst"]:
            print(f"  {shown(entry['name']):{width}}  {entry[comparison.metric]:.6f}")
        if "folders" in summary:
            print(f"mean {label} by folder:")
            folder_width = max(len(shown(f)) for f in summary["folders"])
            for folder, figures in summary["folders"].items():
                print(f"  {shown(folder):{folder_width}}  {figures['mean']:.6f}  ({figures['pairs']} {noun}s)")
    else:
        print(f"no {noun} could be compared")
    if summary["failed"]:
        print(f"{summary['failed']} {noun}(s) could not be compared (see the messages above)")
    folders = {"only_in_first": args.first, "only_in_second": args.second}
    for key, only in source.unmatched.items():
        if only:
            print(f"{len(only)} file(s) without a partner, only in {shown(folders.get(key, key))}: {few(only)}")
    if args.map:
        print(f"SSIM maps written to {shown(args.map)}")
    print(f"elapsed {elapsed:.1f} s")


def print_single(source, comparison, args, row):
    label1, label2 = source.labels(0)
    if "error" in row:
        return
    depth = f" x {row['depth']}" if "depth" in row else ""
    print(f"{label1} vs {label2}: {row['width']} x {row['height']}{depth}, {row['channels']} channel(s), "
          f"{comparison.describe(source.kinds)}")
    if comparison.multi_scale:
        print(f"MS-SSIM: {row['ms_ssim']:.6f}")
    else:
        print(f"mean SSIM: {row['ssim']:.6f} (lowest pixel {row['min_ssim']:.6f})")
    if args.map:
        print(f"SSIM map written to {shown(args.map)} (colour scale below the map)")


def make_source(args):
    """The source of pairs the two arguments name (none: the built-in sample)."""
    if (args.first is None) != (args.second is None):
        raise CommandLineError("give two images or two folders (or none for the built-in sample pair)")
    if args.first is None:
        return SamplePairSource()
    for path in (args.first, args.second):
        if not os.path.exists(path):
            raise CommandLineError(f"{shown(path)}: no such file or folder")
        why = not os.path.isdir(path) and not_regular(path)
        if why:
            raise CommandLineError(f"{shown(path)}: is {why}; korvex reads regular files only")
    folders = os.path.isdir(args.first)
    if folders != os.path.isdir(args.second):
        raise CommandLineError("give two files or two folders, not one of each")
    videos = not folders and video.is_video_file(args.first)
    if not folders and videos != video.is_video_file(args.second):
        raise CommandLineError("give two videos or two images, not one of each")
    if not videos and (args.frames is not None or args.planes != "y"):
        raise CommandLineError(f"--{'frames' if args.frames is not None else 'planes'} is for two videos "
                               f"({', '.join(video.VIDEO_SUFFIXES[:6])}, ...)")
    luma = args.channels not in (None, "all")
    if videos:
        if args.map:
            raise CommandLineError("--map is for images; with videos, --report shows the worst frames' maps")
        if luma:
            raise CommandLineError(f"--channels {args.channels} takes the luma of colour images; videos are "
                                   "compared on their decoded planes, whose Y plane is the encoder's luma "
                                   "(--planes y, the default)")
        args.channels = "all"  # a preset's luma does not apply to planes: they are compared as decoded
        return VideoSource(args.first, args.second, args.frames, args.planes, args.worst if args.report else 0)
    if luma and not folders and is_volume_file(args.first) and is_volume_file(args.second):
        raise CommandLineError(f"--channels {args.channels} takes the luma of colour images; volumes are "
                               "compared on all their channels (leave out --channels)")
    kind = FolderSource if folders else FilePairSource
    return kind(args.first, args.second, args.max_voxels)


def run(args):
    started = time.perf_counter()
    if args.map and args.ms_ssim:
        raise CommandLineError("--map draws the single-scale SSIM map; leave out --ms-ssim to draw it")
    source = make_source(args)
    check_outputs(args, source)
    for note in source.notes:
        note_once(note)
    comparison = Comparison(args, local_rank())
    shard = join_processes(comparison.device)
    try:
        if args.workers is None:
            args.workers = default_workers()
        indices = shard.indices(len(source.names))
        items = source.items(indices, args.workers)
        comparison.check_options()  # the library's first call, while the workers read the first pairs
        source.prepare(comparison)
        say = (lambda line: None) if args.quiet else emit
        rows = compare_pairs(source, comparison, args, indices, items, say)
        rows = shard.gather(rows, len(source.names))
        # The other processes end with 0: the first reports the run, and
        # torchrun reports its status.
        status = 0
        if rows is not None:
            status = 1 if any("error" in r for r in rows) else 0
            elapsed = time.perf_counter() - started
            summary = summarise(comparison, rows, args.worst)
            if source.many:
                print_summary(source, comparison, args, rows, summary, elapsed)
            else:
                print_single(source, comparison, args, rows[0])
            write_outputs(source, comparison, args, rows, summary, elapsed)
            if args.report and (source.many or "error" not in rows[0]):
                from korvex.cli.report import write_report  # numpy: not before the options are read

                write_report(source, comparison, args, rows, summary)
        return status
    finally:
        shard.close()


def main(argv=None):
    """python -m korvex with these arguments (sys.argv's without): the exit status."""
    args = parser().parse_args(argv)
    forget_notes()
    standard_output = sys.stdout
    sys.stdout = ReaderMayLeave(standard_output)
    try:
        return run(args)
    except CommandLineError as error:
        print(f"korvex: {error}", file=sys.stderr)
        return 2
    except OSError as error:  # an output file that cannot be written after all (disk full, ...)
        print(f"korvex: {shown(error.filename or '')}: {error.strerror or error}", file=sys.stderr)
        return 2
    finally:
        sys.stdout.flush()
        sys.stdout = standard_output
