"""python -m korvex on folders, in this process: unusual and faulty files, the summary, reader processes and
torchrun giving the same files, and how 8-bit files travel from the readers."""

import csv
import json
import os

import numpy as np
import pytest
import torch
from PIL import Image

import korvex
from korvex.cli import images
from test_command_line import assert_one_line_error, jpeg_copy, korvex_main, photos, run_korvex, ssim_of  # noqa: F401


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
        array, notes = images.load(str(tmp_path / name))
        assert array.dtype == np.uint8 and array.shape == (samples.shape[2],) + samples.shape[:2], name
        image = images.scaled(array)
        expected = torch.from_numpy(samples.astype(np.float32) / np.float32(255)).permute(2, 0, 1)
        assert image.dtype == torch.float32 and torch.equal(image, expected) and not notes, name
    Image.fromarray(camera.astype(np.uint16) * 257).save(tmp_path / "deep.png")
    array, _ = images.load(str(tmp_path / "deep.png"))
    assert array.dtype == np.float32 and np.array_equal(array[0], (camera.astype(np.float64) / 255).astype(np.float32))
    assert images.scaled(array).dtype == torch.float32
