"""Videos on the command line that do not line up: a damaged frame, other timing, chroma planes too small for
multi-scale SSIM."""

import json

import pytest

from test_command_line import assert_one_line_error
from test_video import HEIGHT, WIDTH, korvex_cli, mismatched, read_rows, write_video  # noqa: F401

av = pytest.importorskip("av")


def test_a_damaged_frame_keeps_the_frames_before_it(tmp_path, korvex_cli):
    """Motion JPEG, its third packet overwritten: frames 0 and 1 are compared and written, the rest are failed
    rows with the decoder's message (said once), and the status is that of failed pairs."""
    write_video(tmp_path / "a.avi", "mjpeg", "yuvj420p", count=4)
    write_video(tmp_path / "b.avi", "mjpeg", "yuvj420p", count=4, noisy=True)
    with av.open(str(tmp_path / "b.avi")) as container:
        packets = [(p.pos, p.size) for p in container.demux(video=0) if p.size]
    damaged = bytearray((tmp_path / "b.avi").read_bytes())
    position, size = packets[2]
    damaged[position:position + size] = b"\xff" * size
    (tmp_path / "b.avi").write_bytes(damaged)

    run = korvex_cli("a.avi", "b.avi", "--csv", "s.csv", "--json", "s.json", "--report", "r.html", cwd=tmp_path)
    assert run.returncode == 1
    assert_one_line_error(run, "b.avi: frame 2 cannot be decoded (Invalid data", "frames 2 to 3 are not compared")
    rows = read_rows(tmp_path / "s.csv")
    assert [r["frame"] for r in rows] == ["0", "1", "2", "3"]
    assert all(float(r["ssim"]) > 0.5 for r in rows[:2]) and not any(r["error"] for r in rows[:2])
    assert all("frame 2 cannot be decoded" in r["error"] and not r["ssim"] for r in rows[2:])
    summary = json.loads((tmp_path / "s.json").read_text())["summary"]
    assert (summary["pairs"], summary["failed"]) == (2, 2)
    assert "frame 2 cannot be decoded" in (tmp_path / "r.html").read_text()


def test_frames_are_paired_by_index_and_other_timing_is_said_once(tmp_path, korvex_cli):
    write_video(tmp_path / "25.mkv", "ffv1", "yuv420p")
    write_video(tmp_path / "30.mkv", "ffv1", "yuv420p", rate=30)
    write_video(tmp_path / "late.mkv", "ffv1", "yuv420p", first_frame_at=10)
    for other, words in (("30.mkv", "25.mkv runs at 25 frames per second and 30.mkv at 30"),
                         ("late.mkv", "frame 0 is at 0.000 s in 25.mkv and at 0.400 s in late.mkv")):
        run = korvex_cli("25.mkv", other, "--csv", "s.csv", cwd=tmp_path)
        assert run.returncode == 0, run.stderr
        notes = run.stderr.splitlines()
        assert len(notes) == 1 and words in notes[0] and "paired by their index" in notes[0], run.stderr
        assert all(float(r["ssim"]) > 1 - 1e-6 for r in read_rows(tmp_path / "s.csv"))  # the same frames
    run = korvex_cli("25.mkv", "25.mkv", cwd=tmp_path)
    assert run.returncode == 0 and run.stderr == "", run.stderr


def test_multi_scale_ssim_on_planes_too_small_is_said_once(mismatched, korvex_cli, tmp_path):
    """4:2:0 at 192 x 176: Y takes five scales with valid padding (161 pixels a side), U and V (96 x 88) do not.
    The Y plane is compared, and the reason given once, in the command line's own options."""
    run = korvex_cli(mismatched / "five.mkv", mismatched / "seven.mkv", "--frames", "0:5", "--planes", "yuv",
                     "--ms-ssim", "--csv", "s.csv", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    notes = run.stderr.splitlines()
    assert len(notes) == 1 and "U and V planes are 96 x 88, too small for MS-SSIM" in notes[0], run.stderr
    assert "--padding same" in notes[0] and "only the Y plane is compared" in notes[0]
    assert "weights" not in notes[0] and "padding=" not in notes[0]
    rows = read_rows(tmp_path / "s.csv")
    assert len(rows) == 5 and all(r["ms_ssim"] and r["channels"] == "1" and not r["ms_ssim_u"] for r in rows)
    with_same = korvex_cli(mismatched / "five.mkv", mismatched / "seven.mkv", "--frames", "0:5", "--planes", "yuv",
                           "--ms-ssim", "--padding", "same", "--csv", "same.csv", cwd=tmp_path)
    assert with_same.returncode == 0 and with_same.stderr == "", with_same.stderr
    assert all(r["ms_ssim_u"] for r in read_rows(tmp_path / "same.csv"))

    # Not even the Y plane: refused before the first frame, once.
    run = korvex_cli(mismatched / "five.mkv", mismatched / "seven.mkv", "--frames", "0:5", "--ms-ssim",
                     "--window-size", "13", "--csv", "s.csv", cwd=tmp_path)
    assert run.returncode == 2
    assert_one_line_error(run, f"the frames are {WIDTH} x {HEIGHT}, too small", "193 pixels", "--padding same")
