#!/usr/bin/env bash
# Runs the test suite against a CPU module built with AddressSanitizer and
# UndefinedBehaviorSanitizer. Any sanitizer report, in the test process or in
# any process it starts, fails the run.
#
#   bash tools/sanitized_tests.sh [pytest arguments]
#
# The sanitized build lives in build/sanitized: a copy of the package, the
# sources and the tests, built in place there. The checkout's own build is
# left alone. Python is not instrumented, so the sanitizer runtime is preloaded,
# with libstdc++ (otherwise the first C++ exception stops AddressSanitizer).
# Not run here, to keep the job short: the standalone C++ tests, the CUDA
# build check, the GPU model's tracer and nvcc runs (the sanitizer runtime
# preloaded into nvcc crashes it) and the check of the install advice (they
# use no module), and
# the command line (images and videos), benchmark and multi-process tests
# (distributed training, the streaming metrics across ranks: the same
# operations through other front ends), and the presets against the other
# libraries (the run-time window kernels they call run here in their own
# tests), and the accuracy checks on photographs against the float64
# reference (the same code runs here on noise, on other shapes, and against
# the kernel sources bit for bit), and the stand-in's images larger than one
# launch (a minute and a half here; the split launches are checked on small
# shapes); all of them run with the plain test suite. The cases made for each
# photograph run on three photographs (KORVEX_SANITIZED_TESTS, tests/conftest.py).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-$root/.venv/bin/python}
dir=build/sanitized

rm -rf "$dir/tests" "$dir/tools" "$dir/bench" "$dir"/korvex/*.py "$dir/korvex/cli" "$dir/reports"
mkdir -p "$dir/korvex" "$dir/reports"
cp -r tests tools bench "$dir"/
cp korvex/*.py "$dir/korvex"/
if [ -d korvex/cli ]; then cp -r korvex/cli "$dir/korvex"/; fi
# Sources are copied only when their content differs, and then with a fresh
# time, so that the build recompiles exactly what changed.
find setup.py pyproject.toml README.md csrc -type f | while read -r source; do
    if ! cmp -s "$source" "$dir/$source"; then
        mkdir -p "$dir/$(dirname "$source")"
        cp "$source" "$dir/$source"
    fi
done

cd "$dir"
KORVEX_CUDA=0 KORVEX_SANITIZE=address,undefined "$python" setup.py -q build_ext --inplace

status=0
KORVEX_SANITIZED_TESTS=1 \
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
ASAN_OPTIONS="detect_stack_use_after_return=0:detect_leaks=0:log_path=$PWD/reports/asan" \
UBSAN_OPTIONS="print_stacktrace=1:log_path=$PWD/reports/ubsan" \
    "$python" -m pytest -q -p no:cacheprovider --durations=20 \
    --ignore=tests/test_cpu_runtime.py --ignore=tests/test_kernel_checks.py --ignore=tests/test_device_code.py \
    --ignore=tests/test_gpu_model.py \
    --ignore=tests/test_command_line.py --ignore=tests/test_bench.py --ignore=tests/test_distributed.py \
    --ignore=tests/test_video.py --ignore=tests/test_install_advice.py --ignore=tests/test_presets.py \
    --ignore=tests/test_photographs.py --deselect tests/test_taps.py::test_photographs_against_float64 \
    --deselect tests/test_volume.py::test_maps_against_the_reference \
    --deselect tests/test_volume.py::test_gradients_of_both_volumes_against_autograd_of_the_reference \
    --deselect tests/test_metrics.py::test_ranks_compute_the_mean_over_every_rank \
    --deselect "tests/test_large_shapes.py::test_taller_images_than_one_launch[emulated]" \
    --deselect "tests/test_large_shapes.py::test_more_images_than_one_launch[emulated]" \
    "$@" || status=$?

if compgen -G "reports/*" >/dev/null; then
    echo "sanitizer reports:" >&2
    cat reports/* >&2
    status=1
fi
exit $status
