"""Command line: the SSIM of two images, or of two folders of images matched by file name.

    python -m korvex                          # scikit-image's camera man against a noisy copy
    python -m korvex a.png b.png              # two images
    python -m korvex reference/ output/       # every file name (or file stem) found in both folders
    python -m korvex a.png b.png --map m.png  # and a picture of the SSIM map
    python -m korvex ref/ out/ --csv scores.csv --json scores.json --window-size 7 --device cuda
    torchrun --nproc-per-node 4 -m korvex ref/ out/ --csv scores.csv   # the pairs shared by four processes
    python -m korvex source.mkv encoded.mp4 --csv frames.csv  # two videos, frame by frame (Y plane)
    python -m korvex ref/ out/ --report report.html            # scores, worst pairs and their maps to look at
    python -m korvex hr/ sr/ --like basicsr --crop-border 4    # BasicSR's SSIM: the luma Y, 4 pixels shaved

Images are read with Pillow and scaled to [0, 1] by their own bit depth (8, 16
or 32 bits per integer sample; floating-point samples as they are). Problems
with a pair (a file that cannot be read, images of different sizes, NaN) are
reported in one line; the other pairs are still compared, and the exit status
is 1. Mistakes in the command (a missing folder, an output that would
overwrite an input or replace an image) are reported before anything is read,
with exit status 2.

Videos are paired frame by frame by index (frame n of one with frame n of the
other), whatever their timestamps; a note says so when their frame rates or
timestamps differ. A frame that cannot be decoded ends the decoding: the
frames before it are kept, it and the rest are failed rows. A reader process
killed by the system has its pairs read again in the main process. Names
that a spreadsheet would run as formulas (=, +, -, @, tab, carriage return)
are written to the CSV after a single quote.

One pipeline serves every kind of input: a source of pairs (sources.py: two
files, two folders, the built-in sample; video_source.py: two videos) lists
its pairs by name and reads them (pipeline.py: in reader processes, or a
video in order); each pair becomes parts (an image, or a video's planes)
that one comparison turns into figures (compare.py), in order, as rows; the
rows become the summary (command.py) and the CSV and JSON (outputs.py), the
maps (maps.py) and the report (report.py). The options are in options.py.
"""

from korvex.cli.command import main

__all__ = ["main"]
