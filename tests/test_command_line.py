"""python -m korvex, run as a user runs it: in a subprocess, on image files written here."""

import csv
import io
import json
import os
import subprocess
import sys

import numpy as np
import pytest
import torch
from PIL import Image

import korvex

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def start_korvex(*args, cwd, launcher=("-m", "korvex"), **environment):
    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""), **environment)
    return subprocess.Popen([sys.executable, *launcher, *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, cwd=cwd, env=env)


def finish(process):
    stdout, stderr = process.communicate(timeout=300)
    return subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr)


def run_korvex(*args, cwd, launcher=("-m", "korvex")):
    return finish(start_korvex(*args, cwd=cwd, launcher=launcher))


def assert_one_line_error(run, *words):
    assert "Traceback" not in run.stderr, run.stderr
    lines = run.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("korvex: "), run.stderr
    for word in words:
        assert word in lines[0]


def ssim_of(a, b, **options):
    """In-process SSIM of two (H, W) or (H, W, C) arrays already in [0, 1]."""
    def batch(x):
        x = torch.from_numpy(np.asarray(x, dtype=np.float32))
        return (x[None] if x.dim() == 2 else x.permute(2, 0, 1))[None]
    return korvex.ssim(batch(a), batch(b), **options).item()


def jpeg_copy(pixels, quality=20):
    buffer = io.BytesIO()
    Image.fromarray(pixels).save(buffer, format="JPEG", quality=quality)
    return np.asarray(Image.open(buffer))


@pytest.fixture(scope="module")
def photos():
    from skimage import data

    # 176 x 200: large enough for five scales of multi-scale SSIM with valid padding.
    return data.camera()[100:276, 120:320], data.astronaut()[:176, 100:300]


def test_folders(tmp_path, photos):
    camera, astronaut = photos
    first, second = tmp_path / "reference", tmp_path / "output"
    (first / "nested").mkdir(parents=True)
    (second / "nested").mkdir(parents=True)
    # 16-bit against 8-bit: each scales by its own depth. The low byte carries detail.
    low_bits = np.random.default_rng(0).integers(0, 256, camera.shape)
    camera16 = camera.astype(np.int64) * 256 + low_bits
    Image.fromarray(camera16.astype(np.uint16)).save(first / "camera16.png")
    Image.fromarray(camera).save(second / "camera16.png")
    # Colour, JPEG-compressed.
    Image.fromarray(astronaut).save(first / "nested" / "astronaut.png")
    compressed = jpeg_copy(astronaut)
    Image.fromarray(compressed).save(second / "nested" / "astronaut.png")
    # Negative SSIM: the camera man in negative.
    Image.fromarray(camera).save(first / "negative.png")
    Image.fromarray(255 - camera).save(second / "negative.png")
    # Pairs that cannot be compared, and files without a partner.
    Image.fromarray(camera).save(first / "cropped.png")
    Image.fromarray(camera[:, :150]).save(second / "cropped.png")
    Image.fromarray(camera).save(first / "broken.png")
    (second / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n not really")
    Image.fromarray(camera).save(first / "grey-vs-colour.png")
    Image.fromarray(astronaut).save(second / "grey-vs-colour.png")
    Image.fromarray(camera).save(first / "only-here.png")
    (second / "notes.txt").write_text("not an image")

    run = run_korvex(first, second, "--csv", "scores.csv", "--json", "scores.json", "--map", "maps", "--worst", "2",
                     cwd=tmp_path)
    assert run.returncode == 1, run.stderr  # some pairs failed
    assert "Traceback" not in run.stderr
    errors = run.stderr.strip().splitlines()
    assert len(errors) == 3
    assert any("cropped.png" in e and "differ in size: 200 x 176 and 150 x 176" in e for e in errors)
    assert any("broken.png" in e and "cannot be read" in e for e in errors)
    assert any("grey-vs-colour.png" in e and "--grey" in e for e in errors)

    expected = {
        "camera16.png": ssim_of(camera16 / 65535, camera / 255),
        os.path.join("nested", "astronaut.png"): ssim_of(astronaut / 255, compressed / 255),
        "negative.png": ssim_of(camera / 255, (255 - camera) / 255),
    }
    assert expected["camera16.png"] > 0.99 and expected["negative.png"] < 0
    with open(tmp_path / "scores.csv") as file:
        rows = {row["name"]: row for row in csv.DictReader(file)}
    assert set(rows) == set(expected) | {"cropped.png", "broken.png", "grey-vs-colour.png"}
    for name, value in expected.items():
        assert float(rows[name]["ssim"]) == pytest.approx(value, abs=1e-6)
        assert f"{value:.6f}" in run.stdout
    assert rows[os.path.join("nested", "astronaut.png")]["channels"] == "3"
    assert "differ in size" in rows["cropped.png"]["error"]

    report = json.loads((tmp_path / "scores.json").read_text())
    summary = report["summary"]
    assert summary["pairs"] == 3 and summary["failed"] == 3
    assert summary["mean"] == pytest.approx(sum(expected.values()) / 3, abs=1e-6)
    assert [w["name"] for w in summary["worst"]] == ["negative.png", os.path.join("nested", "astronaut.png")]
    assert report["only_in_first"] == ["only-here.png"] and report["only_in_second"] == []
    assert "1 file(s) without a partner, only in" in run.stdout and "worst 2:" in run.stdout
    assert (tmp_path / "maps" / "nested" / "astronaut.png.ssim.png").exists()


def test_map_picture(tmp_path, photos):
    camera, _ = photos
    height, width = camera.shape
    altered = camera.copy()
    altered[:, width // 2:] = 255 - altered[:, width // 2:]  # right half in negative
    Image.fromarray(camera).save(tmp_path / "a.png")
    Image.fromarray(altered).save(tmp_path / "b.png")
    run = run_korvex("a.png", "b.png", "--map", "map.png", "--window-size", "7", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert f"mean SSIM: {ssim_of(camera / 255, altered / 255, window_size=7):.6f}" in run.stdout

    with Image.open(tmp_path / "map.png") as picture:
        assert "-1" in picture.info["Description"] and "pale yellow" in picture.info["Description"]
        pixels = np.asarray(picture.convert("RGB")).astype(int)
    # The map sits at (10, 10) at its own size, with the scale and caption below it.
    assert pixels.shape[0] > height + 40 and pixels.shape[1] >= width
    same = pixels[10 + height // 2, 10 + width // 8]      # identical: SSIM 1, pale yellow
    negative = pixels[10 + height // 2, 10 + width * 7 // 8]  # inverted: SSIM < 0, blue
    assert same[0] > 240 and same[1] > 240 and same[2] < 200, same
    assert negative[2] > 150 and negative[2] > negative[0] + 80, negative
    # The colour bar runs from blue (-1) through black (0, two of its nine steps along) to pale yellow (1).
    bar = pixels[height + 34 + 14 // 2, 10:-10]
    assert bar[0][2] > bar[0][0] and bar[len(bar) * 2 // 9].sum() < 30 and bar[-1][:2].min() > 240


def test_sample_pair_without_arguments(tmp_path):
    run = run_korvex(cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert "camera vs camera + noise" in run.stdout and "mean SSIM: 0.2" in run.stdout


def test_mistakes_give_one_line(tmp_path):
    Image.fromarray(np.zeros((8, 8), np.uint8)).save(tmp_path / "a.png")
    (tmp_path / "b.png").write_text("text")
    (tmp_path / "folder").mkdir()
    cases = {
        "missing": (["a.png", "missing.png"], 2, ["missing.png", "no such file"]),
        "unreadable": (["a.png", "b.png"], 1, ["b.png", "cannot be read"]),
        "one argument": (["a.png"], 2, ["two images or two folders"]),
        "file and folder": (["a.png", "folder"], 2, ["not one of each"]),
        "too small": (["a.png", "a.png", "--ms-ssim"], 1, ["8 x 8, too small for MS-SSIM", "--padding same"]),
    }
    if not torch.cuda.is_available():
        cases["cuda"] = (["a.png", "a.png", "--device", "cuda"], 2, ["no CUDA GPU"])
    # Side by side: most of each run is starting Python and torch.
    started = {case: start_korvex(*args, cwd=tmp_path) for case, (args, _, _) in cases.items()}
    for case, (_, status, words) in cases.items():
        run = finish(started[case])
        assert run.returncode == status, case
        assert_one_line_error(run, *words)


def test_padding_and_multi_scale(tmp_path, photos):
    camera, astronaut = photos
    compressed = jpeg_copy(astronaut, quality=10)
    Image.fromarray(astronaut).save(tmp_path / "a.png")
    Image.fromarray(compressed).save(tmp_path / "b.png")
    a, b = astronaut / 255, compressed / 255

    valid = run_korvex("a.png", "b.png", "--padding", "valid", "--map", "valid.png", cwd=tmp_path)
    assert valid.returncode == 0, valid.stderr
    assert f"mean SSIM: {ssim_of(a, b, padding='valid'):.6f}" in valid.stdout
    with Image.open(tmp_path / "valid.png") as picture:
        assert "padding valid" in picture.info["Description"]

    multi = run_korvex("a.png", "b.png", "--ms-ssim", "--json", "multi.json", cwd=tmp_path)
    assert multi.returncode == 0, multi.stderr
    x, y = (torch.from_numpy(v.astype(np.float32)).permute(2, 0, 1)[None] for v in (a, b))
    expected = korvex.ms_ssim(x, y).item()
    assert f"MS-SSIM: {expected:.6f}" in multi.stdout
    assert json.loads((tmp_path / "multi.json").read_text())["pairs"][0]["ms_ssim"] == pytest.approx(expected, abs=1e-6)


# ---- in-process runs: the checks below need many runs, and starting Python and torch costs seconds each

import korvex.__main__ as command_line  # noqa: E402


def korvex_main(*args, capsys):
    status = command_line.main([str(a) for a in args])
    captured = capsys.readouterr()
    return subprocess.CompletedProcess(args, status, captured.out, captured.err)


def snapshot(folder):
    """Every file under a folder with its bytes."""
    return {path: path.read_bytes() for path in folder.rglob("*") if path.is_file()}


def test_outputs_are_checked_before_anything_is_read_or_written(tmp_path, monkeypatch, capsys, photos):
    camera, _ = photos
    monkeypatch.chdir(tmp_path)
    for folder in ("ref", "out", "folder"):
        (tmp_path / folder).mkdir()
    Image.fromarray(camera).save("ref/a.png")
    Image.fromarray(camera // 2).save("out/a.png")
    Image.fromarray(camera).save("x.png")
    Image.fromarray(camera // 2).save("y.png")
    before = snapshot(tmp_path)
    cases = {
        "maps into an input folder": (["ref", "out", "--map", "ref"], ["--map ref", "input folder"]),
        "maps under an input folder": (["ref", "out", "--map", "out/maps"], ["input folder"]),
        "CSV onto an input": (["x.png", "y.png", "--csv", "y.png"], ["--csv y.png", "input files"]),
        "map onto an input": (["x.png", "y.png", "--map", "x.png"], ["--map x.png", "input files"]),
        "picture among inputs": (["ref", "out", "--csv", "out/scores.png"], ["input folder"]),
        "missing folder, checked first": (["ref", "out", "--csv", "ok.csv", "--json", "nodir/x.json"],
                                          ["--json nodir/x.json", "nodir", "does not exist"]),
        "one file for two outputs": (["ref", "out", "--csv", "s.csv", "--json", "s.csv"], ["also the --csv"]),
        "CSV onto a folder": (["x.png", "y.png", "--csv", "folder"], ["is a folder"]),
    }
    for case, (args, words) in cases.items():
        run = korvex_main(*args, capsys=capsys)
        assert run.returncode == 2, case
        assert run.stdout == "", case  # nothing compared
        assert_one_line_error(run, *words)
        assert snapshot(tmp_path) == before, case  # no input touched, no output begun

    # Maps in a folder above the inputs are fine: none lands among them.
    run = korvex_main("ref", "out", "--map", ".", "--workers", "0", capsys=capsys)
    assert run.returncode == 0, run.stderr
    assert (tmp_path / "a.png.ssim.png").exists() and snapshot(tmp_path / "ref") == snapshot(tmp_path / "ref")


def test_option_mistakes_give_one_line(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    Image.fromarray(np.zeros((8, 8), np.uint8)).save("a.png")
    with pytest.raises(SystemExit) as exit:
        command_line.main(["a.png", "a.png", "--worst", "-1"])
    assert exit.value.code == 2
    captured = capsys.readouterr()
    assert_one_line_error(subprocess.CompletedProcess([], 2, captured.out, captured.err), "--worst", "0 or more")
    run = korvex_main("a.png", "a.png", "--data-range", "1e300", capsys=capsys)
    assert run.returncode == 2
    assert_one_line_error(run, "--data-range", "between 1e-30 and 1e+30")


def test_outputs_are_written_whole_or_not_at_all(tmp_path):
    target = tmp_path / "scores.csv"
    target.write_text("the previous run\n")

    def fails_halfway(file):
        file.write("name,ssim\n")
        raise OSError(28, "No space left on device")

    with pytest.raises(OSError):
        command_line.write_atomically(str(target), fails_halfway)
    assert target.read_text() == "the previous run\n"
    assert os.listdir(tmp_path) == ["scores.csv"]  # no temporary file left behind
    command_line.write_atomically(str(target), lambda file: file.write("new\n"))
    assert target.read_text() == "new\n" and os.listdir(tmp_path) == ["scores.csv"]
    assert (target.stat().st_mode & 0o777) == (0o666 & ~command_line.current_umask())


def decompression_bomb():
    """A PNG whose header claims 40000 x 40000 pixels."""
    import struct
    import zlib

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", 40000, 40000, 8, 0, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"\0" * 64))
            + chunk(b"IEND", b""))


def test_faulty_and_unusual_files_in_folders(tmp_path, monkeypatch, capsys, photos):
    camera, astronaut = photos
    monkeypatch.chdir(tmp_path)
    ref, out = tmp_path / "ref", tmp_path / "out"
    ref.mkdir()
    out.mkdir()
    # A float TIFF holding NaN: a failed pair, out of the statistics.
    Image.fromarray(camera.astype(np.float32) / 255).save(ref / "nan.tif")
    with_nan = camera.astype(np.float32) / 255
    with_nan[5, 5] = np.nan
    Image.fromarray(with_nan).save(out / "nan.tif")
    # A header that claims 40000 x 40000 pixels.
    (ref / "bomb.png").write_bytes(decompression_bomb())
    (out / "bomb.png").write_bytes(decompression_bomb())
    # The worst pair, which the statistics must keep.
    Image.fromarray(camera).save(ref / "negative.png")
    Image.fromarray(255 - camera).save(out / "negative.png")
    # 32-bit integer TIFF (signed, full scale) against 8 bits, matched by stem.
    Image.fromarray((camera.astype(np.int64) * (2**31 - 1) // 255).astype(np.int32)).save(ref / "deep.tif")
    Image.fromarray(camera).save(out / "deep.png")
    # Stored turned a quarter, with the EXIF orientation that turns it back.
    exif = Image.Exif()
    exif[0x0112] = 6  # rotate 90 degrees clockwise to display
    Image.fromarray(np.rot90(camera).copy()).save(ref / "turned.png", exif=exif)
    Image.fromarray(camera).save(out / "turned.png")
    # An animated GIF: the first frame is compared, and the user is told.
    Image.fromarray(camera).save(ref / "moving.gif", save_all=True, append_images=[Image.fromarray(255 - camera)])
    Image.fromarray(camera).save(out / "moving.gif")
    # Names that differ only in extension: two pairs, two maps.
    Image.fromarray(camera).save(ref / "dup.png")
    Image.fromarray(jpeg_copy(camera, 30)).save(out / "dup.png")
    Image.fromarray(astronaut).save(ref / "dup.jpg", quality=95)
    Image.fromarray(astronaut).save(out / "dup.jpg", quality=30)
    # A stem with two files on one side: no pair, and said so.
    Image.fromarray(camera).save(ref / "twice.png")
    Image.fromarray(camera).save(ref / "twice.bmp")
    Image.fromarray(camera).save(out / "twice.jpg")
    # A name with a line break.
    Image.fromarray(camera).save(ref / "two\nlines.png")
    Image.fromarray(jpeg_copy(camera, 50)).save(out / "two\nlines.png")

    run = korvex_main("ref", "out", "--csv", "scores.csv", "--json", "scores.json", "--map", "maps",
                      "--worst", "2", capsys=capsys)
    assert run.returncode == 1
    assert "Traceback" not in run.stderr
    errors = [line for line in run.stderr.splitlines() if not line.startswith("korvex: note:")]
    notes = [line for line in run.stderr.splitlines() if line.startswith("korvex: note:")]
    assert len(errors) == 2 and all(line.startswith("korvex: ") for line in errors), run.stderr
    assert any("nan.tif" in line and "NaN" in line for line in errors)
    assert any("bomb.png" in line and "too many pixels" in line for line in errors)
    assert notes == ["korvex: note: ref/moving.gif holds 2 frames; the first is compared"]

    with open("scores.csv", newline="") as file:
        rows = {row["name"]: row for row in csv.DictReader(file)}
    assert list(rows) == ["bomb.png", "deep.tif", "dup.jpg", "dup.png", "moving.gif", "nan.tif", "negative.png",
                          "turned.png", "two\nlines.png"]
    assert rows["deep.tif"]["second_name"] == "deep.png" and rows["dup.png"]["second_name"] == ""
    assert rows["nan.tif"]["ssim"] == "" and "NaN" in rows["nan.tif"]["error"]
    for exact in ("deep.tif", "turned.png", "moving.gif"):
        assert float(rows[exact]["ssim"]) > 0.9999, exact
    compared = {name: float(row["ssim"]) for name, row in rows.items() if row["ssim"]}
    assert compared["negative.png"] == pytest.approx(ssim_of(camera / 255, (255 - camera) / 255), abs=1e-6)
    assert "'two\\nlines.png'" in run.stdout  # one line, quoted

    def refuse(constant):
        raise ValueError(f"not JSON: {constant}")
    report = json.loads(open("scores.json").read(), parse_constant=refuse)
    summary = report["summary"]
    assert summary["pairs"] == len(compared) == 7 and summary["failed"] == 2
    assert summary["mean"] == pytest.approx(np.mean(list(compared.values())), abs=1e-9)
    assert summary["std"] == pytest.approx(np.std(list(compared.values())), abs=1e-9)
    assert summary["min"] == compared["negative.png"] <= summary["median"] <= summary["max"]
    assert [w["name"] for w in summary["worst"]] == sorted(compared, key=compared.get)[:2]
    assert report["only_in_first"] == ["twice.bmp", "twice.png"] and report["only_in_second"] == ["twice.jpg"]
    assert "only in ref: twice.bmp, twice.png" in run.stdout

    maps = tmp_path / "maps"
    assert (maps / "dup.png.ssim.png").read_bytes() != (maps / "dup.jpg.ssim.png").read_bytes()
    assert sorted(p.name for p in maps.iterdir()) == sorted(n + ".ssim.png" for n in compared)


def test_folders_without_partners_name_the_files(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    for folder, name in (("ref", "a.png"), ("out", "b.png")):
        (tmp_path / folder).mkdir()
        Image.fromarray(np.zeros((8, 8), np.uint8)).save(tmp_path / folder / name)
    run = korvex_main("ref", "out", capsys=capsys)
    assert run.returncode == 2
    assert_one_line_error(run, "no image in ref has a partner in out", "a.png", "b.png")


def test_quiet_summary_by_folder_and_multi_scale(tmp_path, monkeypatch, capsys, photos):
    camera, astronaut = photos
    monkeypatch.chdir(tmp_path)
    expected = {}
    for folder, photo in (("people", astronaut), ("things", camera)):
        for quality in (10, 40):
            for side in ("ref", "out"):
                (tmp_path / side / folder).mkdir(parents=True, exist_ok=True)
            name = os.path.join(folder, f"q{quality}.png")
            compressed = jpeg_copy(photo, quality)
            Image.fromarray(photo).save(tmp_path / "ref" / name)
            Image.fromarray(compressed).save(tmp_path / "out" / name)
            x, y = (torch.from_numpy(np.asarray(v, np.float32) / 255) for v in (photo, compressed))
            x, y = ((v[None] if v.dim() == 2 else v.permute(2, 0, 1))[None] for v in (x, y))
            expected[name] = korvex.ms_ssim(x, y).item()

    run = korvex_main("ref", "out", "--ms-ssim", "--quiet", "--csv", "s.csv", "--json", "s.json", capsys=capsys)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0] == "" and "4 pairs compared (window 11, padding valid, weights 0.0448 0.2856" in lines[1]
    assert f"std {np.std(list(expected.values())):.6f}" in lines[1]
    by_folder = lines[lines.index("mean MS-SSIM by folder:") + 1:][:2]
    for entry, folder in zip(by_folder, ("people", "things")):
        mean = np.mean([v for n, v in expected.items() if n.startswith(folder)])
        assert entry.split() == [folder, f"{mean:.6f}", "(2", "pairs)"]
    assert lines[-1].startswith("elapsed ")

    options = json.loads((tmp_path / "s.json").read_text())["options"]
    assert options["padding"] == "valid" and options["weights"] == pytest.approx(list(korvex.MS_SSIM_WEIGHTS))
    with open(tmp_path / "s.csv", newline="") as file:
        reader = csv.DictReader(file)
        assert reader.fieldnames == ["name", "second_name", "frame", "ms_ssim", "ms_ssim_y", "ms_ssim_u", "ms_ssim_v",
                                     "width", "height", "depth", "channels", "error", "options", "korvex_version"]
        for row in reader:
            assert float(row["ms_ssim"]) == pytest.approx(expected[row["name"]], abs=1e-6)


def test_map_colour_scale_spends_its_range_where_photographs_score():
    table = command_line.colour_table()
    def index(value):
        return int(table[round((value + 1) / 2 * (command_line.LEVELS - 1))])
    assert index(-1) == 0 and index(1) == command_line.SHADES - 1
    assert all(np.diff(table.astype(int)) >= 0)  # higher SSIM never goes back along the bar
    assert index(1) - index(0.6) > 0.4 * command_line.SHADES  # 0.6..1 takes at least 40% of the colours
    colours = np.array(command_line.palette()).reshape(-1, 3)
    assert len({tuple(c) for c in colours[index(0.6):index(1) + 1]}) > 80


def test_processes_give_the_same_files(tmp_path, capsys, photos):
    """Worker processes and two torchrun ranks give the files of one process, byte for byte."""
    camera, astronaut = photos
    ref, out = tmp_path / "ref", tmp_path / "out"
    (ref / "sub").mkdir(parents=True)
    (out / "sub").mkdir(parents=True)
    for index in range(5):
        photo = np.roll(astronaut if index % 2 else camera, 17 * index, axis=1)
        name = os.path.join("sub" if index > 2 else "", f"{index}.png")
        Image.fromarray(photo).save(ref / name)
        Image.fromarray(jpeg_copy(photo, 10 + 10 * index)).save(out / name)
    (out / "2.png").write_text("broken")

    def outputs(prefix, *options, launcher=None):
        arguments = (ref, out, "--csv", tmp_path / f"{prefix}.csv", "--json", tmp_path / f"{prefix}.json",
                     "--quiet", *options)
        if launcher:
            run = run_korvex(*arguments, cwd=tmp_path, launcher=launcher)
        else:
            run = korvex_main(*arguments, capsys=capsys)
        report = json.loads((tmp_path / f"{prefix}.json").read_text())
        del report["summary"]["elapsed_seconds"]
        summary = [line for line in run.stdout.splitlines() if not line.startswith("elapsed")]
        return (tmp_path / f"{prefix}.csv").read_bytes(), report, summary, run

    one = outputs("one", "--workers", "0")
    workers = outputs("workers", "--workers", "2")
    ranks = outputs("ranks", launcher=("-m", "torch.distributed.run", "--standalone", "--nproc-per-node", "2",
                                       "-m", "korvex"))
    assert one[3].returncode == 1 and len(one[0].splitlines()) == 6  # a header and five pairs, one failed
    assert one[2][1].startswith("4 pairs compared") and ranks[3].returncode == 1
    for other in (workers, ranks):
        assert other[:3] == one[:3]


def test_eight_bit_files_are_scaled_where_they_are_compared(tmp_path, photos):
    """8-bit files leave the reader as uint8 samples in (C, H, W) order and become float32 in [0, 1] in the
    comparing process: every 8-bit mode Pillow writes gives its samples / 255, channels and rows in place (the
    photographs are not square, so swapped axes show), and other files come as float32 already."""
    camera, astronaut = photos
    # None: the samples are the decoded file's (JPEG, a palette, dithered 1-bit), as colour or grey.
    cases = {
        "grey.png": (Image.fromarray(camera), camera[..., None]),
        "colour.png": (Image.fromarray(astronaut), astronaut),
        "alpha.png": (Image.fromarray(astronaut).convert("RGBA"), astronaut),
        "grey_alpha.png": (Image.fromarray(camera).convert("LA"), camera[..., None]),
        "colour.jpg": (Image.fromarray(astronaut), "RGB"),
        "palette.png": (Image.fromarray(astronaut).convert("P"), "RGB"),
        "bilevel.png": (Image.fromarray(camera).convert("1"), "L"),
    }
    for name, (picture, samples) in cases.items():
        picture.save(tmp_path / name)
        if isinstance(samples, str):
            samples = np.asarray(Image.open(tmp_path / name).convert(samples)).reshape(camera.shape + (-1,))
        array, notes = command_line.load(str(tmp_path / name))
        assert array.dtype == np.uint8 and array.shape == (samples.shape[2],) + samples.shape[:2], name
        image = command_line.scaled(array)
        expected = torch.from_numpy(samples.astype(np.float32) / np.float32(255)).permute(2, 0, 1)
        assert image.dtype == torch.float32 and torch.equal(image, expected) and not notes, name
    Image.fromarray(camera.astype(np.uint16) * 257).save(tmp_path / "deep.png")
    array, _ = command_line.load(str(tmp_path / "deep.png"))
    assert array.dtype == np.float32 and np.array_equal(array[0], (camera.astype(np.float64) / 255).astype(np.float32))
    assert command_line.scaled(array).dtype == torch.float32


def test_presets_and_windows(tmp_path, photos):
    from skimage.metrics import structural_similarity

    camera, _ = photos
    Image.fromarray(camera).save(tmp_path / "a.png")
    Image.fromarray(jpeg_copy(camera)).save(tmp_path / "b.png")
    run = run_korvex("a.png", "b.png", "--like", "scikit-image", "--json", "out.json", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert "uniform window 7, sample covariance, like scikit-image" in run.stdout
    report = json.loads((tmp_path / "out.json").read_text())
    assert report["options"]["window"] == "uniform" and report["options"]["padding"] == "valid"
    expected = structural_similarity(camera / 255.0, jpeg_copy(camera) / 255.0, data_range=1.0)
    assert abs(report["pairs"][0]["ssim"] - expected) < 1e-4
    # An explicit option wins over the preset; a window off the table states its sigma.
    run = run_korvex("a.png", "b.png", "--like", "kornia", "--window-size", "15", "--sigma", "2", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert "window 15 (sigma 2), like kornia" in run.stdout and "padding reflect" in run.stdout
    for args, words in ((("--window-size", "8"), ("--window-size must be an odd number", "got 8")),
                        (("--sigma", "0"), ("--sigma must be finite and positive",)),
                        (("--like", "kornia", "--ms-ssim"), ("--like kornia has no multi-scale SSIM",))):
        assert_one_line_error(run_korvex("a.png", "b.png", *args, cwd=tmp_path), *words)


def test_command_line_compares_npy_and_nifti_volumes_and_maps_the_middle_slice(tmp_path):
    from test_volume import PAIRS

    _, x, y = PAIRS[3]
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    np.save(tmp_path / "a" / "one.npy", x[0, 0].numpy())  # (D, H, W)
    np.save(tmp_path / "b" / "one.npy", y[0, 0].numpy())
    np.save(tmp_path / "a" / "two.npy", (x[1].numpy() * 255).round().astype(np.uint8))  # (C, D, H, W), 8 bits
    np.save(tmp_path / "b" / "two.npy", (y[1].numpy() * 255).round().astype(np.uint8))
    run = run_korvex("a/one.npy", "b/one.npy", "--map", "one.png", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    expected = korvex.ssim(x[:1, :1], y[:1, :1]).item()
    assert f"mean SSIM: {expected:.6f}" in run.stdout and "28 x 24 x 20, 1 channel(s)" in run.stdout
    with Image.open(tmp_path / "one.png") as picture:
        assert picture.width >= 28 and picture.height >= 24
    run = run_korvex("a", "b", "--csv", "out.csv", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    with open(tmp_path / "out.csv") as file:
        rows = {row["name"]: row for row in csv.DictReader(file)}
    assert rows["two.npy"]["depth"] == "20" and rows["two.npy"]["channels"] == "2"
    eight_bit = korvex.ssim(torch.from_numpy(np.load(tmp_path / "a" / "two.npy") / 255.0).float()[None],
                            torch.from_numpy(np.load(tmp_path / "b" / "two.npy") / 255.0).float()[None]).item()
    assert float(rows["two.npy"]["ssim"]) == pytest.approx(eight_bit, abs=1e-6)
    np.save(tmp_path / "flat.npy", x[0, 0, 0].numpy())
    run = run_korvex("flat.npy", "b/one.npy", cwd=tmp_path)
    assert run.returncode == 1 and "a volume must be a 3-D array (depth, height, width)" in run.stderr
    nibabel = pytest.importorskip("nibabel")
    # NIfTI stores (x, y, z): the reader reverses the axes to (depth, height, width).
    nibabel.save(nibabel.Nifti1Image(x[0, 0].numpy().transpose(2, 1, 0), np.eye(4)), str(tmp_path / "one.nii.gz"))
    run = run_korvex("one.nii.gz", "a/one.npy", cwd=tmp_path)
    assert run.returncode == 0 and "mean SSIM: 1.000000" in run.stdout, run.stderr
