"""python -m korvex on inputs that are not plain image files: pipes and links in folders, large volumes, a reader
process that dies."""

import csv
import os
import signal
import subprocess

import numpy as np
import pytest
from PIL import Image

from test_command_line import assert_one_line_error, finish, jpeg_copy, korvex_main, photos, start_korvex  # noqa: F401

from korvex.cli import images


def rows_of(path):
    with open(path, newline="") as file:
        return {row["name"]: row for row in csv.DictReader(file)}


def test_folders_read_regular_files_and_follow_links(tmp_path, photos):
    """A named pipe with an image's name is skipped and named, not opened (it would block); a linked subfolder is
    followed; a link back to a folder it lies in is named, not followed for ever."""
    camera, _ = photos
    ref, out, elsewhere = tmp_path / "ref", tmp_path / "out", tmp_path / "elsewhere"
    for folder in (ref, out, elsewhere):
        folder.mkdir()
    Image.fromarray(camera).save(ref / "plain.png")
    Image.fromarray(jpeg_copy(camera)).save(out / "plain.png")
    os.mkfifo(ref / "pipe.png")
    Image.fromarray(camera).save(out / "pipe.png")
    Image.fromarray(camera).save(elsewhere / "linked.png")
    (ref / "sub").symlink_to(elsewhere, target_is_directory=True)
    (out / "sub").mkdir()
    Image.fromarray(jpeg_copy(camera, 50)).save(out / "sub" / "linked.png")
    (ref / "loop").symlink_to(ref, target_is_directory=True)

    process = start_korvex("ref", "out", "--csv", "s.csv", "--workers", "0", cwd=tmp_path)
    try:
        run = finish(process)
    except subprocess.TimeoutExpired:
        process.kill()
        raise
    assert run.returncode == 0, run.stderr
    assert set(rows_of(tmp_path / "s.csv")) == {"plain.png", os.path.join("sub", "linked.png")}
    notes = run.stderr.splitlines()
    assert "korvex: note: ref/pipe.png is skipped: a named pipe" in notes, run.stderr
    assert "korvex: note: ref/loop is skipped: a link to a folder it lies in" in notes, run.stderr
    assert "1 file(s) without a partner, only in out: pipe.png" in run.stdout

    # Named on the command line: refused at once.
    run = finish(start_korvex("ref/pipe.png", "out/pipe.png", cwd=tmp_path))
    assert run.returncode == 2
    assert_one_line_error(run, "ref/pipe.png", "a named pipe", "regular files only")


def test_volumes_past_the_limit_are_not_read_and_integers_widen_to_float32(tmp_path, monkeypatch, capsys):
    import tracemalloc

    nibabel = pytest.importorskip("nibabel")
    monkeypatch.chdir(tmp_path)
    volume = (np.random.default_rng(0).random((24, 20, 16)) * 4000).astype(np.int16)
    for name in ("a.nii.gz", "b.nii.gz"):
        nibabel.save(nibabel.Nifti1Image(volume, np.eye(4)), name)
    run = korvex_main("a.nii.gz", "b.nii.gz", "--max-voxels", "7000", capsys=capsys)
    assert run.returncode == 1
    assert_one_line_error(run, "a.nii.gz: not read, too many voxels (24 x 20 x 16 = 7,680", "limit is 7,000",
                          "--max-voxels")
    run = korvex_main("a.nii.gz", "b.nii.gz", "--max-voxels", "7680", capsys=capsys)
    assert run.returncode == 0 and "mean SSIM: 1.000000" in run.stdout, run.stderr

    # 16-bit samples become float32 without a float64 copy on the way: at most the samples and the result.
    samples = np.random.default_rng(1).integers(0, 2**15, (64, 64, 64)).astype(np.int16)
    np.save("deep.npy", samples)
    tracemalloc.start()
    array, _ = images.load_volume("deep.npy")
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert array.dtype == np.float32 and peak < 1.25 * array.nbytes + samples.nbytes, (peak, array.nbytes)
    assert np.array_equal(array[0], samples.astype(np.float32) / np.float32(32767))


def test_a_killed_reader_loses_no_pair(tmp_path, monkeypatch, capsys, photos):
    """A reader process killed by the system (SIGKILL, as the out-of-memory killer does): its pairs are read
    again in the main process, and the files are those of a run without reader processes."""
    camera, astronaut = photos
    monkeypatch.chdir(tmp_path)
    for side in ("ref", "out"):
        (tmp_path / side).mkdir()
    for number in range(5):
        photo = np.roll(astronaut if number % 2 else camera, 13 * number, axis=1)
        Image.fromarray(photo).save(tmp_path / "ref" / f"{number}.png")
        Image.fromarray(jpeg_copy(photo, 20 + 10 * number)).save(tmp_path / "out" / f"{number}.png")
    main_process, load = os.getpid(), images.load

    def killed_in_a_reader(path, *args):
        if os.getpid() != main_process and path.endswith("2.png"):
            os.kill(os.getpid(), signal.SIGKILL)
        return load(path, *args)

    monkeypatch.setattr(images, "load", killed_in_a_reader)
    alone = korvex_main("ref", "out", "--csv", "alone.csv", "--workers", "0", "--quiet", capsys=capsys)
    assert alone.returncode == 0 and alone.stderr == "", alone.stderr
    run = korvex_main("ref", "out", "--csv", "readers.csv", "--workers", "2", "--quiet", capsys=capsys)
    assert run.returncode == 0, run.stderr
    assert "a reader process ended abruptly" in run.stderr and "Traceback" not in run.stderr
    assert (tmp_path / "readers.csv").read_bytes() == (tmp_path / "alone.csv").read_bytes()


def test_a_missing_pillow_is_said_with_an_install_that_builds(tmp_path, monkeypatch, capsys):
    """Without Pillow the command says how to install the command line's extras from a checkout, with
    --no-build-isolation (without it pip builds korvex where torch is missing, and the build stops); so does every
    other install of the checkout the command line advises."""
    import re
    import sys

    monkeypatch.chdir(tmp_path)
    Image.fromarray(np.zeros((16, 16), np.uint8)).save("a.png")
    monkeypatch.setitem(sys.modules, "PIL", None)  # import PIL fails, as where Pillow is not installed
    run = korvex_main("a.png", "a.png", capsys=capsys)
    assert run.returncode == 2
    assert_one_line_error(run, "reading images needs Pillow", "pip install --no-build-isolation '.[cli]'")
    monkeypatch.undo()

    folder = os.path.dirname(images.__file__)
    for name in sorted(os.listdir(folder)):
        if name.endswith(".py"):
            with open(os.path.join(folder, name)) as file:
                text = file.read()
            for command in re.findall(r"pip3? install[^'\"]*['\"][.]", text):
                assert "--no-build-isolation" in command, (name, command)
