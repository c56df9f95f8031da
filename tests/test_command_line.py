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

from korvex.cli import main  # noqa: E402


def korvex_main(*args, capsys):
    status = main([str(a) for a in args])
    captured = capsys.readouterr()
    return subprocess.CompletedProcess(args, status, captured.out, captured.err)


def snapshot(folder):
    """Every file under a folder with its bytes."""
    return {path: path.read_bytes() for path in folder.rglob("*") if path.is_file()}


def test_option_mistakes_give_one_line(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    Image.fromarray(np.zeros((8, 8), np.uint8)).save("a.png")
    with pytest.raises(SystemExit) as exit:
        main(["a.png", "a.png", "--worst", "-1"])
    assert exit.value.code == 2
    captured = capsys.readouterr()
    assert_one_line_error(subprocess.CompletedProcess([], 2, captured.out, captured.err), "--worst", "0 or more")
    run = korvex_main("a.png", "a.png", "--data-range", "1e300", capsys=capsys)
    assert run.returncode == 2
    assert_one_line_error(run, "--data-range", "between 1e-30 and 1e+30")


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
                        (("--like", "kornia", "--ms-ssim"),
                         ("refused: --like kornia has no multi-scale SSIM", "use --like pytorch-msssim"))):
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
