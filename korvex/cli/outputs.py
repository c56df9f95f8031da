"""The outputs: checked before the first pair, written whole or not at all (CSV, JSON; maps in maps.py, the
report in report.py)."""

import csv
import dataclasses
import json
import os
import tempfile

import korvex.cli.video as video
from korvex.cli.folders import inside
from korvex.cli.images import is_image_file
from korvex.cli.messages import CommandLineError, shown

MAP_SUFFIX = ".ssim.png"


def nearest_existing(path):
    while not os.path.exists(path):
        path = os.path.dirname(path)
    return path


def map_path(args, source, index):
    if not source.map_names:
        return args.map
    return os.path.join(args.map, source.names[index] + MAP_SUFFIX)


def check_outputs(args, source):
    """Refuses, before anything is read, an output that cannot be written or
    that would overwrite an input or land where inputs are read."""
    files = [("--csv", args.csv), ("--json", args.json), ("--report", args.report)]
    if args.map and not source.map_names:
        files.append(("--map", args.map))
    planned = {}
    for option, path in files:
        if path is None:
            continue
        real = os.path.realpath(path)
        where = f"{option} {shown(path)}"
        if os.path.isdir(path):
            raise CommandLineError(f"{where}: is a folder; give a file name")
        folder = os.path.dirname(real)
        if not os.path.isdir(folder):
            raise CommandLineError(f"{where}: the folder {shown(os.path.dirname(path))} does not exist")
        if not os.access(folder, os.W_OK) or (os.path.exists(real) and not os.access(real, os.W_OK)):
            raise CommandLineError(f"{where}: cannot be written (permission denied)")
        if real in source.input_files:
            raise CommandLineError(f"{where}: is one of the input files; korvex does not overwrite its inputs")
        if not args.force and replaces_a_picture(real, may_be_map=option == "--map"):
            raise CommandLineError(f"{where}: would replace an image or video file; give another name, or add "
                                   "--force to replace it")
        for input_folder in source.input_folders:
            if is_image_file(real) and inside(real, input_folder):
                raise CommandLineError(f"{where}: lies in the input folder {shown(input_folder)}, where the next "
                                       "run would read it as an input; write it elsewhere")
        if real in planned:
            raise CommandLineError(f"{where}: is also the {planned[real]} output; give each output its own file")
        planned[real] = option
    if args.map and source.map_names:
        real = os.path.realpath(args.map)
        where = f"--map {shown(args.map)}"
        if os.path.exists(real) and not os.path.isdir(real):
            raise CommandLineError(f"{where}: is a file; with folders, --map names a folder for the maps")
        if not os.access(nearest_existing(real), os.W_OK):
            raise CommandLineError(f"{where}: cannot be written (permission denied)")
        for name in source.names:
            picture = os.path.realpath(os.path.join(real, name + MAP_SUFFIX))
            for input_folder in source.input_folders:
                if inside(real, input_folder) or inside(picture, input_folder):
                    raise CommandLineError(f"{where}: maps there would lie in the input folder "
                                           f"{shown(input_folder)}, where the next run would read them as "
                                           "inputs; write them elsewhere")
            if picture in planned:
                raise CommandLineError(f"{planned[picture]}: is also the map of {shown(name)}; give it another "
                                       "name")


def replaces_a_picture(path, may_be_map):
    """Whether writing `path` would replace an image or video file (a map of an earlier run may be replaced
    by a map)."""
    if not os.path.isfile(path) or not (is_image_file(path) or video.is_video_file(path)):
        return False
    return not (may_be_map and is_map_picture(path))


def is_map_picture(path):
    """Whether a file is a picture of an SSIM map written by korvex (its PNG description says so)."""
    try:
        from PIL import Image

        with Image.open(path) as picture:
            return str(picture.info.get("Description", "")).startswith("SSIM map.")
    except Exception:  # not a picture Pillow reads: not a map
        return False


def write_atomically(path, write, binary=False):
    """Writes a file through a temporary file in the same folder, renamed over
    the path at the end: readers never see half a file, and a failure leaves
    the path as it was."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".", suffix=".partial")
    try:
        with os.fdopen(handle, "wb" if binary else "w", **({} if binary else dict(newline=""))) as file:
            write(file)
        os.chmod(temporary, 0o666 & ~current_umask())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def csv_columns(metric):
    """The CSV's columns: the same for every run of a metric, whatever the
    inputs, so that scripts and the CSVs of several runs agree; a column a
    run has no figure for stays empty. The last two say what made the file."""
    planes = [f"{metric}_{p}" for p in video.PLANE_NAMES]  # videos with --planes yuv: each plane's figure
    lowest = ["min_" + metric] if metric == "ssim" else []  # multi-scale SSIM has no one map
    return (["name", "second_name", "frame", metric] + planes + lowest
            + ["width", "height", "depth", "channels", "error", "options", "korvex_version"])


# A spreadsheet runs a cell that begins with one of these as a formula; the
# OWASP rule against CSV injection puts a single quote before it.
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


def spreadsheet_safe(value):
    """A text cell as a spreadsheet shows it without running it; numbers (a negative SSIM) as they are."""
    if isinstance(value, str) and value.startswith(FORMULA_STARTS):
        return "'" + value
    return value


def write_csv(path, metric, rows, options):
    """options: the run's options as the JSON holds them, written on every row with korvex's version."""
    import korvex

    made_by = dict(options=json.dumps(options, separators=(",", ":")), korvex_version=korvex.__version__)

    def write(file):
        writer = csv.DictWriter(file, fieldnames=csv_columns(metric), extrasaction="ignore", lineterminator="\n")
        writer.writeheader()
        for row in rows:
            writer.writerow({key: spreadsheet_safe(value) for key, value in dict(row, **made_by).items()})
    write_atomically(path, write)


def write_json(path, report):
    # allow_nan=False: a NaN would make the file unreadable to strict parsers;
    # NaN results are errors in their rows, never numbers.
    text = json.dumps(report, indent=2, allow_nan=False) + "\n"
    write_atomically(path, lambda file: file.write(text))


def run_options(source, comparison, args):
    """The options of a run as the JSON and the CSV record them: korvex's, resolved (presets and defaults
    filled in), and the command line's own. The padding is the one the pairs are computed with (volumes have
    a default of their own); a run of images and volumes padded apart gives the images' and volume_padding."""
    resolved = {f.name: getattr(comparison.resolved, f.name) for f in dataclasses.fields(comparison.resolved)
                if f.name != "reduction" and (f.name != "weights" or comparison.multi_scale)}
    paddings = comparison.paddings(source.kinds)
    resolved["padding"] = paddings.get("image", paddings.get("volume"))
    if paddings.get("volume", resolved["padding"]) != resolved["padding"]:
        resolved["volume_padding"] = paddings["volume"]
    if comparison.multi_scale:
        resolved["weights"] = list(resolved["weights"])
    options = dict(resolved, metric=comparison.metric, device=str(comparison.device), grey=args.grey)
    if source.noun == "frame":
        options["planes"] = args.planes
    return options


def write_outputs(source, comparison, args, rows, summary, elapsed):
    import korvex

    if not source.many and "error" in rows[0]:
        return  # one pair that could not be compared: nothing to write
    options = run_options(source, comparison, args)
    if args.csv:
        write_csv(args.csv, comparison.metric, rows, options)
    if args.json:
        report = dict(options=options, korvex_version=korvex.__version__, pairs=rows, summary=None)
        if source.many:
            report["summary"] = dict(summary, elapsed_seconds=round(elapsed, 3))
        write_json(args.json, dict(report, **source.unmatched))
