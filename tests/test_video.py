"""Videos on the command line: frame by frame, checked against the same frames decoded and compared as images.

The videos are made here with PyAV from a photograph panned across the frame: the reference losslessly (FFV1),
the distorted copy with noise that grows from frame to frame, encoded lossy (H.264) so that its decoded planes
are not the encoder's input. The frames are decoded again here with PyAV's own conversion to arrays, not with
the command's plane reader.
"""

import csv
import re
import subprocess

import numpy as np
import pytest
import torch
from PIL import Image

from reference import ms_ssim as reference_ms_ssim
from reference import ssim_map as reference_ssim_map
from test_command_line import assert_one_line_error, run_korvex

av = pytest.importorskip("av")


@pytest.fixture
def korvex_cli(capsys, monkeypatch):
    """The command run in this process (starting one costs seconds): korvex_cli(*args, cwd=...)."""
    from korvex.cli import main

    def run(*args, cwd):
        monkeypatch.chdir(cwd)
        try:
            status = main([str(a) for a in args])
        except SystemExit as stop:  # argparse's refusals
            status = stop.code
        captured = capsys.readouterr()
        return subprocess.CompletedProcess(args, status, captured.out, captured.err)
    return run

WIDTH, HEIGHT, FRAMES = 192, 176, 5  # large enough for five scales of multi-scale SSIM


def photo_frames(count, noisy):
    from skimage import data

    photo = data.astronaut()
    rng = np.random.default_rng(1)
    for number in range(count):
        rgb = photo[30 + 7 * number:30 + 7 * number + HEIGHT, 50 + 5 * number:50 + 5 * number + WIDTH]
        if noisy:
            rgb = np.clip(rgb + rng.normal(0, 3 + 4 * number, rgb.shape), 0, 255).astype(np.uint8)
        yield np.ascontiguousarray(rgb)


def encoder_available(name):
    try:
        av.codec.Codec(name, "w")
    except Exception:
        return False
    return True


def write_video(path, codec, pixel_format, count=FRAMES, noisy=False, rate=25, first_frame_at=0, **options):
    """first_frame_at: the first frame's timestamp, in frames."""
    with av.open(str(path), "w") as container:
        stream = container.add_stream(codec, rate=rate)
        stream.width, stream.height, stream.pix_fmt = WIDTH, HEIGHT, pixel_format
        stream.options = {key: str(value) for key, value in options.items()}
        for number, rgb in enumerate(photo_frames(count, noisy)):
            frame = av.VideoFrame.from_ndarray(rgb, format="rgb24").reformat(format=pixel_format)
            frame.pts = first_frame_at + number
            for packet in stream.encode(frame):
                container.mux(packet)
        for packet in stream.encode():
            container.mux(packet)


def decoded_planes(path):
    """[(Y, U, V) as integer arrays] per frame, through PyAV's to_ndarray (4:2:0: Y above, U and V below)."""
    out = []
    with av.open(str(path)) as container:
        for frame in container.decode(video=0):
            packed = frame.to_ndarray()
            h, w = frame.height, frame.width
            chroma = packed[h:].reshape(2, h // 2, w // 2)  # U rows, then V rows, each of quarter size
            out.append((packed[:h], chroma[0], chroma[1]))
    return out


BIT_DEPTHS = {
    8: dict(pixel_format="yuv420p", encoder="libx264"),
    10: dict(pixel_format="yuv420p10le", encoder="libx264"),
}


@pytest.fixture(scope="module", params=sorted(BIT_DEPTHS), ids=lambda bits: f"{bits}-bit")
def videos(request, tmp_path_factory):
    bits = request.param
    setup = BIT_DEPTHS[bits]
    if not encoder_available(setup["encoder"]):
        pytest.skip(f"this FFmpeg has no {setup['encoder']} encoder")
    folder = tmp_path_factory.mktemp(f"video{bits}")
    write_video(folder / "reference.mkv", "ffv1", setup["pixel_format"])
    write_video(folder / "encoded.mp4", setup["encoder"], setup["pixel_format"], noisy=True, crf=28)
    return folder, bits


def read_rows(path):
    with open(path) as file:
        return list(csv.DictReader(file))


@pytest.mark.parametrize("metric", ["ssim", "ms-ssim"])
def test_frames_match_images(videos, metric, korvex_cli):
    """Per-frame scores equal those of the Y planes saved as PNG and compared as images, to 1e-6.

    The video side runs as a user runs it (its own process) once; the rest in this process.
    """
    folder, bits = videos
    options = ["--ms-ssim"] if metric == "ms-ssim" else []
    column = metric.replace("-", "_")
    for side, name in (("a", "reference.mkv"), ("b", "encoded.mp4")):
        (folder / f"{side}-{metric}").mkdir()
        for number, (luma, _, _) in enumerate(decoded_planes(folder / name)):
            # 8-bit planes as 8-bit PNGs; deeper ones as float TIFFs of the samples divided by 2**bits - 1
            # (16-bit PNGs would be read divided by 65535: another scale, other float32 roundings).
            if bits == 8:
                Image.fromarray(luma.astype(np.uint8)).save(folder / f"{side}-{metric}" / f"{number:03}.png")
            else:
                scaled = luma.astype(np.float32) / np.float32(2**bits - 1)
                Image.fromarray(scaled).save(folder / f"{side}-{metric}" / f"{number:03}.tiff")
    images = korvex_cli(f"a-{metric}", f"b-{metric}", "--csv", f"images-{metric}.csv", *options, cwd=folder)
    assert images.returncode == 0, images.stderr
    command = run_korvex if (bits, metric) == (8, "ssim") else korvex_cli
    video = command("reference.mkv", "encoded.mp4", "--csv", f"video-{metric}.csv", *options, cwd=folder)
    assert video.returncode == 0, video.stderr

    image_scores = [float(r[column]) for r in read_rows(folder / f"images-{metric}.csv")]
    rows = read_rows(folder / f"video-{metric}.csv")
    assert [r["name"] for r in rows] == [f"frame {n}" for n in range(FRAMES)]
    assert [int(r["frame"]) for r in rows] == list(range(FRAMES))
    video_scores = [float(r[column]) for r in rows]
    np.testing.assert_allclose(video_scores, image_scores, rtol=0, atol=1e-6)
    # The noise grows: the last frame scores lower than the first; the summary lists the worst first.
    assert video_scores[-1] < video_scores[0] - 0.005, video_scores
    assert re.search(rf"worst 5:\n  frame {int(np.argmin(video_scores))} ", video.stdout)
    assert f"min {min(video_scores):.6f}" in video.stdout
    assert f"mean {metric.upper()} {np.mean(video_scores):.6f}" in video.stdout


def test_planes_yuv_against_the_reference(videos, korvex_cli):
    """--planes yuv: Y, U and V against float64 SSIM of the decoded planes, combined 4:1:1 by sample count."""
    folder, bits = videos
    run = korvex_cli("reference.mkv", "encoded.mp4", "--planes", "yuv", "--csv", "yuv.csv", "--window-size", "7",
                     cwd=folder)
    assert run.returncode == 0, run.stderr
    rows = read_rows(folder / "yuv.csv")
    scale = 2**bits - 1
    for row, planes1, planes2 in zip(rows, decoded_planes(folder / "reference.mkv"),
                                     decoded_planes(folder / "encoded.mp4")):
        expected = []
        for plane, x, y in zip("yuv", planes1, planes2):
            as_batch = lambda p: torch.from_numpy(p.astype(np.float64) / scale)[None, None]
            value = reference_ssim_map(as_batch(x), as_batch(y), 7).mean().item()
            # float32 against float64 on photographs: within 5e-4 (smooth regions, see conftest.py)
            assert float(row[f"ssim_{plane}"]) == pytest.approx(value, abs=5e-4)
            expected.append(float(row[f"ssim_{plane}"]))
        assert float(row["ssim"]) == pytest.approx((4 * expected[0] + expected[1] + expected[2]) / 6, abs=1e-7)
        assert row["channels"] == "3"
    # Chroma is smoother than luma here: the noise was added in RGB and spreads over U and V less.
    assert float(rows[-1]["ssim_u"]) > float(rows[-1]["ssim_y"])


def test_ms_ssim_against_the_reference(videos, korvex_cli):
    folder, bits = videos
    run = korvex_cli("reference.mkv", "encoded.mp4", "--ms-ssim", "--frames", "3:5", "--csv", "ms.csv", cwd=folder)
    assert run.returncode == 0, run.stderr
    rows = read_rows(folder / "ms.csv")
    assert [r["frame"] for r in rows] == ["3", "4"]
    frames1, frames2 = decoded_planes(folder / "reference.mkv"), decoded_planes(folder / "encoded.mp4")
    for row in rows:
        number = int(row["frame"])
        as_batch = lambda p: torch.from_numpy(p.astype(np.float64) / (2**bits - 1))[None, None]
        value = reference_ms_ssim(as_batch(frames1[number][0]), as_batch(frames2[number][0])).item()
        assert float(row["ms_ssim"]) == pytest.approx(value, abs=5e-4)


@pytest.fixture(scope="module")
def mismatched(tmp_path_factory):
    folder = tmp_path_factory.mktemp("mismatched")
    write_video(folder / "five.mkv", "ffv1", "yuv420p")
    write_video(folder / "seven.mkv", "ffv1", "yuv420p", count=7, noisy=True)
    (folder / "broken.mp4").write_bytes(b"\x00\x00\x00\x18ftypmp42 this is not a video")
    return folder


def test_frame_counts_and_frames_option(mismatched, korvex_cli):
    folder = mismatched
    run = korvex_cli("five.mkv", "seven.mkv", "--csv", "out.csv", cwd=folder)
    assert run.returncode == 2
    assert_one_line_error(run, "five.mkv has 5 frames", "seven.mkv 7", "--frames 0:5")
    assert not (folder / "out.csv").exists()  # nothing written on bad input

    run = korvex_cli("five.mkv", "seven.mkv", "--frames", "1:", "--csv", "out.csv", cwd=folder)
    assert run.returncode == 0, run.stderr
    assert [r["frame"] for r in read_rows(folder / "out.csv")] == ["1", "2", "3", "4"]

    # A STOP past the end: the frames there are, and a note (once).
    run = korvex_cli("five.mkv", "seven.mkv", "--frames", "2:250", "--csv", "out.csv", cwd=folder)
    assert run.returncode == 0, run.stderr
    assert [r["frame"] for r in read_rows(folder / "out.csv")] == ["2", "3", "4"]
    assert run.stderr == ("korvex: note: --frames 2:250: five.mkv has 5 frames and seven.mkv 7; frames 2 to 4 "
                          "are compared\n")
    run = korvex_cli("five.mkv", "seven.mkv", "--frames", "5:", cwd=folder)
    assert run.returncode == 2
    assert_one_line_error(run, "--frames 5:", "frame 5 is past the end")
    for bad in ("5:2", "x", "1-3"):
        run = korvex_cli("five.mkv", "seven.mkv", "--frames", bad, cwd=folder)
        assert run.returncode == 2 and "--frames" in run.stderr and "Traceback" not in run.stderr


def test_videos_that_cannot_be_compared(mismatched, korvex_cli, tmp_path):
    folder = mismatched
    run = korvex_cli("five.mkv", "broken.mp4", cwd=folder)
    assert run.returncode == 2
    assert_one_line_error(run, "broken.mp4", "cannot be read as a video")

    with av.open(str(tmp_path / "small.mkv"), "w") as container:  # another size
        stream = container.add_stream("ffv1", rate=25)
        stream.width, stream.height, stream.pix_fmt = 64, 48, "yuv420p"
        for _ in range(5):
            for packet in stream.encode(av.VideoFrame(64, 48, "yuv420p")):
                container.mux(packet)
        for packet in stream.encode():
            container.mux(packet)
    run = korvex_cli(folder / "five.mkv", "small.mkv", cwd=tmp_path)
    assert run.returncode == 2
    assert_one_line_error(run, "differ in size", "192 x 176 and 64 x 48")

    Image.fromarray(np.zeros((8, 8), np.uint8)).save(tmp_path / "a.png")
    for args in (("a.png", folder / "five.mkv"), ("a.png", "a.png", "--planes", "yuv"),
                 (folder / "five.mkv", folder / "five.mkv", "--map", "m.png")):
        run = korvex_cli(*args, cwd=tmp_path)
        assert run.returncode == 2
        assert_one_line_error(run)


def test_report(videos, korvex_cli, tmp_path):
    """--report: one self-contained file with the distribution, the per-frame curve and the worst frames, their
    pictures and SSIM maps embedded; the worst frames are those the CSV ranks lowest."""
    folder, bits = videos
    if bits != 8:
        pytest.skip("one bit depth is enough for the report")
    run = korvex_cli(folder / "reference.mkv", folder / "encoded.mp4", "--report", "r.html", "--worst", "2",
                     "--csv", "r.csv", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    text = (tmp_path / "r.html").read_text()
    rows = sorted(read_rows(tmp_path / "r.csv"), key=lambda r: float(r["ssim"]))
    headings = re.findall(r"<h3>(frame \d+): SSIM ([0-9.]+)</h3>", text)
    assert headings == [(r["name"], f"{float(r['ssim']):.6f}") for r in rows[:2]]
    # Nothing outside the file: every picture is a data URL, no scripts, no links.
    sources = re.findall(r'src="([^"]*)"', text)
    assert sources and all(s.startswith("data:image/png;base64,") for s in sources)
    assert "<script" not in text and "href=" not in text
    assert len(sources) == 2 * 4  # per worst frame: A, B, the map and the colour bar
    assert text.count("<svg") == 2 and "<polyline" in text  # the distribution and the per-frame curve
    # The curve marks the two worst frames.
    assert len(re.findall(r"<circle", text)) == 2

    # Multi-scale SSIM has no one map: the report shows the single-scale map of the worst frames, and says so.
    run = korvex_cli(folder / "reference.mkv", folder / "encoded.mp4", "--report", "ms.html", "--worst", "1",
                     "--ms-ssim", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    text = (tmp_path / "ms.html").read_text()
    assert "single-scale SSIM maps" in text and 'alt="SSIM map"' in text
    assert re.search(r"<h3>frame \d+: MS-SSIM [0-9.]+</h3>", text)


def test_report_in_a_browser(tmp_path, korvex_cli):
    """The report of a folder run as Chromium draws it: the histogram's bars, the pictures and the maps."""
    import shutil

    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("no chromium here (apt-get install chromium)")
    from skimage import data

    first, second = tmp_path / "a", tmp_path / "b"
    first.mkdir(), second.mkdir()
    camera = data.camera()[:160, :200]
    for number in range(6):
        noisy = np.clip(camera + np.random.default_rng(number).normal(0, 2 + 2 * number, camera.shape), 0, 255)
        Image.fromarray(camera).save(first / f"{number}.png")
        Image.fromarray(noisy.astype(np.uint8)).save(second / f"{number}.png")
    run = korvex_cli(first, second, "--report", "r.html", "--worst", "1", "--workers", "0", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    shot = tmp_path / "shot.png"
    subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    "--window-size=1340,1100", f"--screenshot={shot}", (tmp_path / "r.html").as_uri()],
                   capture_output=True, timeout=120, check=True)
    pixels = np.asarray(Image.open(shot).convert("RGB")).astype(int)
    bar_blue = (np.abs(pixels - [0x3B, 0x6F, 0xB6]).sum(-1) < 12).sum()
    assert bar_blue > 6 * 50, "the histogram's bars are not drawn"
    # The camera man in grey levels, and the map's warm colours (red and orange: SSIM 0.8 to 0.95).
    grey = (np.ptp(pixels, axis=-1) < 3) & (pixels[..., 0] > 30) & (pixels[..., 0] < 220)
    warm = (pixels[..., 0] > 180) & (pixels[..., 2] < 100) & (pixels[..., 0] - pixels[..., 1] > 60)
    assert grey.sum() > 20000 and warm.sum() > 2000, (grey.sum(), warm.sum())
