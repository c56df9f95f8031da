"""The GPU benchmark's own code, run on the CPU at a small size (no GPU here to run it for real).

Its times mean nothing here and are not looked at; the SSIM values each
implementation reports are: every peer computes the same Gaussian SSIM and
differs from korvex only at the borders (valid or reflected windows instead of
zero padding).
"""

import json
import os
import re
import subprocess
import sys

import pytest

# Run by CI and the full test command (tools/test_all.sh), not by a plain pytest.
pytestmark = pytest.mark.ci

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_gpu_benchmark_runs_every_case_and_the_peers_agree(tmp_path):
    out = tmp_path / "results.json"
    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    run = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "bench_gpu.py"), "--check-on-cpu",
                          "--json", str(out)], capture_output=True, text=True, env=env, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    results = json.loads(out.read_text())
    assert len(results) == 6  # three modes, two element types
    for title, case in results.items():
        assert {"korvex", "conv2d"} <= set(case), title
        assert "error" not in case["korvex"] and "error" not in case["conv2d"], title
        ours = case["korvex"]["ssim"]
        assert abs(case["conv2d"]["ssim"] - ours) < 1e-3, title  # zero padding too
        for name, result in case.items():
            if "error" in result and "float16" in title:
                continue  # a peer may not take half-precision images on the CPU; the table says so
            assert "error" not in result, (title, name, result)
            assert abs(result["ssim"] - ours) < 0.02, (title, name)
            assert result["ms"] > 0


def test_gpu_benchmark_without_a_gpu_writes_the_cpu_results_as_json(tmp_path):
    out = tmp_path / "results.json"
    env = dict(os.environ, CUDA_VISIBLE_DEVICES="",
               PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    run = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "bench_gpu.py"), "--json", str(out),
                          "--rounds", "1", "--no-memory", "--shape", "1x1x24x24"],
                         capture_output=True, text=True, env=env, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "running the CPU benchmark instead" in run.stdout
    times = json.loads(out.read_text())["time_ms"]
    assert len(times) == 4  # two modes, two element types
    for case, libraries in times.items():
        assert libraries["korvex"] > 0 and "conv2d" in libraries, case


def test_throughput_benchmark_at_a_tiny_size(tmp_path):
    """bench_throughput.py end to end on 3 pairs and 4 frames of 96 x 64, two rounds, the peers on the first 2:
    every tool runs on the files it made, counts its pairs, and the peers' scores agree with each other (same
    definition, valid windows)."""
    import pytest

    pytest.importorskip("av")
    pytest.importorskip("pytorch_msssim")
    out = tmp_path / "results.json"
    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    run = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "bench_throughput.py"), "--pairs", "3",
                          "--frames", "4", "--size", "96x64", "--rounds", "2", "--work", str(tmp_path),
                          "--peer-pairs", "2", "--json", str(out)],
                         capture_output=True, text=True, env=env, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    results = json.loads(out.read_text())["results"]
    for kind, count in (("images", 3), ("video", 4)):
        tools = results[kind]
        assert set(tools) == {"korvex", "pytorch-msssim", "scikit-image", "decode only"}
        assert all(t["seconds"] > 0 for t in tools.values()), tools
        assert [tools[name]["pairs"] for name in sorted(tools)] == [count, count, 2, 2], tools
        # korvex and reading alone run in every round, interleaved; the peers once.
        assert [len(tools[name]["runs"]) for name in sorted(tools)] == [2, 2, 1, 1], tools
        assert all(round(t["seconds"], 2) in t["runs"] for t in tools.values()), tools  # one of its runs
        # pytorch-msssim and scikit-image both average over the windows inside the image: the same figure.
        assert abs(tools["pytorch-msssim"]["mean"] - tools["scikit-image"]["mean"]) < 2e-3, tools
        # korvex averages over every pixel (zero padding): close, not equal, on so small an image.
        assert 0 < tools["korvex"]["mean"] <= 1 and abs(tools["korvex"]["mean"] - tools["scikit-image"]["mean"]) < 0.1
    assert "| korvex |" in run.stdout and "| decode only |" in run.stdout


def run_bench(script, *args):
    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    run = subprocess.run([sys.executable, os.path.join(ROOT, "bench", script), *args], capture_output=True,
                         text=True, env=env, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout


def test_limit_report_runs_at_a_tiny_size():
    import korvex._cpu

    if korvex._cpu._engine() == "baseline":
        return  # no vector FMA to measure against
    out = run_bench("bench_limit.py", "--tiny", "--rounds", "1")
    # The peak is measured with the kernel of the engine's own width (the program checks the one that ran).
    lanes = {"avx512": 16, "avx2": 8}[korvex._cpu._engine()]
    assert f"engine {korvex._cpu._engine()}: peak " in out and f"on {lanes} lanes" in out
    # Window 11: the forward's 73 + 55 + 15 operations, and the backward's on top of the training forward's.
    assert "forward 143, forward+backward 233" in out
    rows = [line.split() for line in out.splitlines() if line.startswith("1x1x32x48")]
    assert [row[1] for row in rows] == ["forward", "forward+backward"]
    assert all(float(row[-1]) > 0 for row in rows)  # a multiple of a measured, positive bound
    widths = [line.split() for line in out.splitlines() if re.fullmatch(r"\s*\d+( +\d+\.\d+ ns){3}", line)]
    assert [row[0] for row in widths] == ["64", "128"]  # the forward, training forward and backward of each
    assert sum("fp16 / fp32" in line for line in out.splitlines()) == 3
    # Every pass of the engine timed on rows in L1, and the sums of each mode's passes.
    passes = [line for line in out.splitlines() if re.fullmatch(r"[A-Za-z0-9+, ]+ +\d+\.\d+ ns  x +\d+\.\d+", line)]
    assert len(passes) == 8 + 2


def test_busy_machine_case_runs_at_a_tiny_size():
    out = run_bench("bench_busy.py", "--tiny", "--spinners", "1")
    rows = [line.split() for line in out.splitlines() if line.startswith("1x1x32x32")]
    assert [row[1] for row in rows] == ["operator", "korvex.ssim"]
    assert all(float(row[2]) > 0 and float(row[3]) > 0 for row in rows)


def test_volume_benchmark_runs_at_a_tiny_size():
    out = run_bench("bench_volume.py", "--tiny", "--no-memory")
    rows = [line.split() for line in out.splitlines() if line.startswith("1x1x24x32x40")]
    assert [row[1] for row in rows] == ["forward", "forward+backward"]
    assert all(float(value) > 0 for row in rows for value in row[2:])


def test_window_comparison_runs_at_a_tiny_size():
    out = run_bench("bench_ssim.py", "--compare-window", "--window-size", "15", "--sigma", "2.0", "--padding",
                    "reflect", "--threads", "1", "--rounds", "2", "--shape", "1x1x40x40")
    rows = [line.split() for line in out.splitlines() if line.startswith("1x1x40^2")]
    # Both precisions, both modes; each row ends in the quotient's median and quartiles.
    assert [row[1:3] for row in rows] == [["fp32", "forward"], ["fp32", "forward+backward"], ["fp16", "forward"],
                                          ["fp16", "forward+backward"]]
    assert all(float(row[-3]) > 0 for row in rows)


def test_overhead_benchmark_runs_and_prints_both_ratios():
    out = run_bench("bench_overhead.py", "--rounds", "1", "--calls", "20")
    ratios = re.findall(r"^korvex\.ssim.*?(\d+\.\d)x$", out, flags=re.M)
    assert len(ratios) == 2 and all(float(r) > 0 for r in ratios), out
