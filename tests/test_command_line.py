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


def start_korvex(*args, cwd):
    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    return subprocess.Popen([sys.executable, "-m", "korvex", *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, cwd=cwd, env=env)


def finish(process):
    stdout, stderr = process.communicate(timeout=300)
    return subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr)


def run_korvex(*args, cwd):
    return finish(start_korvex(*args, cwd=cwd))


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
