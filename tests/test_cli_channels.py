"""--channels, --crop-border and --like basicsr / pyiqa against the library's call on the same pixels."""

import json
import subprocess

import numpy as np
import pytest
import torch
from PIL import Image

import korvex
from korvex.cli import main
from test_command_line import assert_one_line_error, jpeg_copy


def tensor(pixels, scale=255.0):
    x = torch.from_numpy(np.asarray(pixels, dtype=np.float32) / scale)
    return (x[None] if x.dim() == 2 else x.permute(2, 0, 1))[None]


@pytest.fixture
def run(tmp_path, monkeypatch, capsys):
    """The command in this process, in a folder of a colour pair a.png, b.png and a greyscale pair g.png, h.png."""
    from skimage import data

    monkeypatch.chdir(tmp_path)
    colour, grey = data.astronaut()[:96, 100:220], data.camera()[100:196, 120:240]
    pixels = dict(a=colour, b=jpeg_copy(colour), g=grey, h=jpeg_copy(grey))
    for name, values in pixels.items():
        Image.fromarray(values).save(f"{name}.png")

    def command(*args):
        try:
            status = main([*map(str, args), "--json", "out.json"])
        except SystemExit as stop:  # argparse's refusals
            status = stop.code
        out = capsys.readouterr()
        report = json.loads((tmp_path / "out.json").read_text()) if status == 0 else None
        return subprocess.CompletedProcess(args, status, out.out, out.err), report
    command.pixels = pixels
    return command


def test_channels(run):
    a, b, g, h = (tensor(run.pixels[n]) for n in "abgh")
    for channels in ("y", "y-yiq"):
        expected = korvex.ssim(a, b, channels=channels).item()
        assert run("a.png", "b.png", "--channels", channels)[1]["pairs"][0]["ssim"] == pytest.approx(expected, abs=1e-6)
    # Greyscale images are compared as they are (as BasicSR and pyiqa do), and a note says so.
    grey, report = run("g.png", "h.png", "--channels", "y")
    assert "one channel" in grey.stderr
    assert report["pairs"][0]["ssim"] == pytest.approx(korvex.ssim(g, h).item(), abs=1e-6)
    np.save("v.npy", np.stack([run.pixels["g"]] * 20) / 255)
    for args, words in ((("v.npy", "v.npy", "--channels", "y"), "volumes are compared on all their channels"),
                        (("a.png", "b.png", "--channels", "y", "--grey"), "give one of them")):
        refused, _ = run(*args)
        assert refused.returncode == 2
        assert_one_line_error(refused, words)


def test_crop_border(run):
    a, b = (tensor(run.pixels[n]) for n in "ab")
    report = run("a.png", "b.png", "--crop-border", 5)[1]
    assert report["pairs"][0]["ssim"] == pytest.approx(korvex.ssim(a, b, crop_border=5).item(), abs=1e-6)
    assert report["options"]["crop_border"] == 5
    x, y = (torch.from_numpy(np.stack([run.pixels[n]] * 20) / 255).float() for n in "gh")  # volumes
    np.save("x.npy", x.numpy())
    np.save("y.npy", y.numpy())
    expected = korvex.ssim(x[None, None], y[None, None], crop_border=3).item()
    assert run("x.npy", "y.npy", "--crop-border", 3)[1]["pairs"][0]["ssim"] == pytest.approx(expected, abs=1e-6)
    assert run("a.png", "b.png", "--crop-border", 48)[0].returncode == 1  # a pair it leaves nothing of


def test_like_basicsr_and_pyiqa_on_8_bit_files(run):
    # The files are read into [0, 1] with range 1: the value the library gives on their 0-255 values.
    a, b = tensor(run.pixels["a"], 1), tensor(run.pixels["b"], 1)
    for like, data_range in (("basicsr", None), ("pyiqa", 255)):
        expected = korvex.ssim(a, b, like=like, crop_border=4, data_range=data_range).item()
        report = run("a.png", "b.png", "--like", like, "--crop-border", 4)[1]
        assert report["pairs"][0]["ssim"] == pytest.approx(expected, abs=5e-6)
        assert report["options"]["channels"] == korvex.PRESETS[like]["channels"]


def test_videos(run, tmp_path):
    pytest.importorskip("av")
    from test_video import decoded_planes, write_video

    write_video(tmp_path / "r.mkv", "ffv1", "yuv420p")
    write_video(tmp_path / "d.mkv", "ffv1", "yuv420p", noisy=True)
    row = run("r.mkv", "d.mkv", "--planes", "yuv", "--crop-border", 4)[1]["pairs"][0]
    # The U and V planes of 4:2:0 video lose the samples under the frame's 4 pixels: 2.
    for plane, first, second, crop in zip("yu", decoded_planes("r.mkv")[0], decoded_planes("d.mkv")[0], (4, 2)):
        values = korvex.ssim_map(tensor(first), tensor(second), crop_border=crop).numpy()
        assert row[f"ssim_{plane}"] == pytest.approx(np.mean(values, dtype=np.float64), abs=1e-6)
    for args, words in ((("--channels", "y"), "decoded planes"), (("--planes", "yuv", "--crop-border", 3), "of 2")):
        refused, _ = run("r.mkv", "d.mkv", *args)
        assert refused.returncode == 2
        assert_one_line_error(refused, words)
