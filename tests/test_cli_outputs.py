"""What python -m korvex writes: the CSV's columns and cells, outputs that would replace pictures, the report of a
run where nothing could be compared, the map's caption, and a reader of standard output that leaves early."""

import csv
import io
import json
import os

import numpy as np
import pytest
from PIL import Image

from test_command_line import (assert_one_line_error, jpeg_copy, korvex_main, photos,  # noqa: F401
                               snapshot, start_korvex)

import korvex
from korvex.cli import maps, outputs


def read_csv(path):
    with open(path, newline="") as file:
        reader = csv.DictReader(file)
        return reader.fieldnames, list(reader)


def test_csv_columns_are_fixed_and_say_what_made_them(tmp_path, monkeypatch, capsys, photos):
    """The same columns whether or not a file was matched by stem; every row names the options and the
    version; file names a spreadsheet would run as formulas are quoted (OWASP), negative scores are not."""
    camera, _ = photos
    monkeypatch.chdir(tmp_path)
    for side in ("ref", "out", "ref2", "out2"):
        (tmp_path / side).mkdir()
    names = ["=1+1.png", "+cmd.png", "-2.png", "@sum.png", "\tx.png", "plain.png"]
    for name in names:
        Image.fromarray(camera).save(tmp_path / "ref" / name)
        Image.fromarray(255 - camera).save(tmp_path / "out" / name)
    Image.fromarray(camera).save(tmp_path / "ref2" / "a.png")
    Image.fromarray(camera).save(tmp_path / "out2" / "a.jpg")  # matched by stem

    run = korvex_main("ref", "out", "--csv", "s.csv", "--json", "s.json", "--like", "kornia", capsys=capsys)
    assert run.returncode == 0, run.stderr
    columns, rows = read_csv("s.csv")
    assert sorted(r["name"] for r in rows) == sorted(["'=1+1.png", "'+cmd.png", "'-2.png", "'@sum.png", "'\tx.png",
                                                      "plain.png"])
    assert all(float(r["ssim"]) < 0 and r["ssim"].startswith("-") for r in rows)
    report = json.loads((tmp_path / "s.json").read_text())
    assert sorted(p["name"] for p in report["pairs"]) == sorted(names)  # JSON is no spreadsheet: names as they are
    assert report["korvex_version"] == korvex.__version__
    for row in rows:
        assert json.loads(row["options"]) == report["options"] and report["options"]["like"] == "kornia"
        assert row["korvex_version"] == korvex.__version__

    run = korvex_main("ref2", "out2", "--csv", "stem.csv", capsys=capsys)
    assert run.returncode == 0, run.stderr
    stem_columns, stem_rows = read_csv("stem.csv")
    assert stem_columns == columns and stem_rows[0]["second_name"] == "a.jpg"


def test_outputs_never_replace_images_without_force(tmp_path, monkeypatch, capsys, photos):
    camera, _ = photos
    monkeypatch.chdir(tmp_path)
    for folder in ("ref", "out"):
        (tmp_path / folder).mkdir()
    Image.fromarray(camera).save("ref/p0.png")
    Image.fromarray(camera // 2).save("out/p0.png")
    Image.fromarray(camera).save("out/p1.png")
    (tmp_path / "clip.mp4").write_bytes(b"a video")
    before = snapshot(tmp_path)
    for option, target in (("--csv", "out/p1.png"), ("--json", "clip.mp4"), ("--report", "out/p1.png"),
                           ("--map", "out/p1.png")):
        run = korvex_main("ref/p0.png", "out/p0.png", option, target, capsys=capsys)
        assert run.returncode == 2, option
        assert_one_line_error(run, f"{option} {target}", "would replace an image or video file", "--force")
        assert snapshot(tmp_path) == before, option

    # A map replaces the map of an earlier run; --force lets a CSV replace a picture.
    for _ in range(2):
        run = korvex_main("ref/p0.png", "out/p0.png", "--map", "map.png", capsys=capsys)
        assert run.returncode == 0, run.stderr
    run = korvex_main("ref/p0.png", "out/p0.png", "--csv", "out/p1.png", "--force", capsys=capsys)
    assert run.returncode == 0, run.stderr
    assert (tmp_path / "out" / "p1.png").read_text().startswith("name,")


def test_report_when_no_pair_could_be_compared(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    for side in ("ref", "out"):
        (tmp_path / side).mkdir()
        (tmp_path / side / "broken.png").write_text("not an image")
    run = korvex_main("ref", "out", "--report", "r.html", "--csv", "s.csv", capsys=capsys)
    assert run.returncode == 1 and "Traceback" not in run.stderr
    text = (tmp_path / "r.html").read_text()
    assert "No pair could be compared." in text and "broken.png: cannot be read" in text
    assert read_csv("s.csv")[1][0]["error"]


def test_map_caption_wraps_within_the_picture():
    def picture(caption):
        png = maps.map_picture(values, caption, maps.colour_table())
        return Image.open(io.BytesIO(png))

    values = np.linspace(0.5, 1.0, 30 * 40, dtype=np.float32).reshape(30, 40)  # enlarged 6 times: 240 x 180
    caption = ("ref/some/long/folder/name/scan.npy: SSIM 0.9123 (min 0.412), window 11, padding valid (only "
               "where the window fits inside the image), data range 0.0625, mean over 3 channels, slice 32 of 64")
    short, long = picture("SSIM 0.9"), picture(caption)
    assert long.info["Description"].startswith(f"SSIM map. {caption}")
    # Between the map and the colour bar (its frame, 16 pixels, and 26 for its labels, at the bottom).
    caption_rows = np.asarray(long.convert("L"))[10 + 180:long.height - 42]
    assert (caption_rows[:, -10:] == 255).all(), "the caption runs into the right margin"
    inked_rows = np.flatnonzero((caption_rows < 128).any(axis=1))
    assert inked_rows.max() - inked_rows.min() > 20  # on more than one line
    assert long.height > short.height and long.width == short.width


def test_a_reader_of_standard_output_may_leave_early(tmp_path, photos):
    """korvex ... | head -1: the printing stops, the CSV and JSON are written, and the status is that of the
    comparison. Unbuffered, so that the first line already meets the closed pipe."""
    camera, _ = photos
    for side in ("ref", "out"):
        (tmp_path / side).mkdir()
        for number in range(3):
            Image.fromarray(jpeg_copy(camera, 30 + 20 * number) if side == "out" else camera).save(
                tmp_path / side / f"{number}.png")
    process = start_korvex("ref", "out", "--json", "s.json", "--csv", "s.csv", "--workers", "0", cwd=tmp_path,
                           PYTHONUNBUFFERED="1")
    process.stdout.close()  # the reader has gone before the first line
    stderr = process.stderr.read()
    process.wait(timeout=300)
    assert process.returncode == 0 and stderr == "", stderr
    assert len(read_csv(tmp_path / "s.csv")[1]) == 3
    assert json.loads((tmp_path / "s.json").read_text())["summary"]["pairs"] == 3


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


def test_outputs_are_written_whole_or_not_at_all(tmp_path):
    target = tmp_path / "scores.csv"
    target.write_text("the previous run\n")

    def fails_halfway(file):
        file.write("name,ssim\n")
        raise OSError(28, "No space left on device")

    with pytest.raises(OSError):
        outputs.write_atomically(str(target), fails_halfway)
    assert target.read_text() == "the previous run\n"
    assert os.listdir(tmp_path) == ["scores.csv"]  # no temporary file left behind
    outputs.write_atomically(str(target), lambda file: file.write("new\n"))
    assert target.read_text() == "new\n" and os.listdir(tmp_path) == ["scores.csv"]
    assert (target.stat().st_mode & 0o777) == (0o666 & ~outputs.current_umask())


def test_map_colour_scale_spends_its_range_where_photographs_score():
    table = maps.colour_table()
    def index(value):
        return int(table[round((value + 1) / 2 * (maps.LEVELS - 1))])
    assert index(-1) == 0 and index(1) == maps.SHADES - 1
    assert all(np.diff(table.astype(int)) >= 0)  # higher SSIM never goes back along the bar
    assert index(1) - index(0.6) > 0.4 * maps.SHADES  # 0.6..1 takes at least 40% of the colours
    colours = np.array(maps.palette()).reshape(-1, 3)
    assert len({tuple(c) for c in colours[index(0.6):index(1) + 1]}) > 80


def test_volumes_say_the_padding_they_are_computed_with(tmp_path, monkeypatch, capsys, photos):
    """Volumes without --padding are computed with the library's volume default (valid), and the summary, the map's
    caption and the options of the JSON and the CSV say so; images keep same, and --padding wins for both."""
    import torch

    camera, _ = photos
    monkeypatch.chdir(tmp_path)
    generator = torch.Generator().manual_seed(5)
    x = torch.rand(1, 1, 16, 18, 20, generator=generator)
    y = (x + 0.2 * torch.randn(x.shape, generator=generator)).clamp(0, 1)
    for side in ("ref", "out"):
        (tmp_path / side).mkdir()
    np.save("ref/scan.npy", x[0].numpy())
    np.save("out/scan.npy", y[0].numpy())
    valid, same = korvex.ssim(x, y).item(), korvex.ssim(x, y, padding="same").item()
    assert valid == pytest.approx(korvex.ssim(x, y, padding="valid").item()) and abs(valid - same) > 1e-3

    run = korvex_main("ref/scan.npy", "out/scan.npy", "--json", "one.json", "--map", "one.png", capsys=capsys)
    assert run.returncode == 0, run.stderr
    assert f"mean SSIM: {valid:.6f}" in run.stdout and "window 11, padding valid" in run.stdout
    assert json.loads((tmp_path / "one.json").read_text())["options"]["padding"] == "valid"
    with Image.open("one.png") as picture:
        assert "padding valid (only where the window fits" in picture.info["Description"]

    run = korvex_main("ref", "out", "--csv", "s.csv", "--padding", "same", capsys=capsys)
    assert run.returncode == 0, run.stderr
    assert "1 pairs compared (window 11, padding same)" in run.stdout
    _, rows = read_csv("s.csv")
    assert float(rows[0]["ssim"]) == pytest.approx(same, abs=1e-6)
    assert json.loads(rows[0]["options"])["padding"] == "same"

    # A folder of images and volumes: each kind with its padding, the images' as the padding of the options.
    Image.fromarray(camera).save("ref/photo.png")
    Image.fromarray(jpeg_copy(camera)).save("out/photo.png")
    run = korvex_main("ref", "out", "--json", "both.json", capsys=capsys)
    assert run.returncode == 0, run.stderr
    assert "2 pairs compared (window 11, padding same for images, valid for volumes)" in run.stdout
    report = json.loads((tmp_path / "both.json").read_text())
    assert report["options"]["padding"] == "same" and report["options"]["volume_padding"] == "valid"
    assert {p["name"]: p["ssim"] for p in report["pairs"]}["scan.npy"] == pytest.approx(valid, abs=1e-6)
    run = korvex_main("ref/photo.png", "out/photo.png", "--json", "photo.json", capsys=capsys)
    assert run.returncode == 0 and "window 11, padding same" in run.stdout, run.stderr
    assert "volume_padding" not in json.loads((tmp_path / "photo.json").read_text())["options"]
