"""Checks the kernels on the CPU stand-in with the compiler's sanitizers.

Two builds of tests/cpp/test_kernel_checks.cpp with the kernel sources and the
CPU runtime (no torch, no Python module):

- race: ThreadSanitizer. Every logical GPU thread is a fiber that
  ThreadSanitizer tracks as a thread of its own; only the launch, the barriers
  and the end of the block order them. A shared-memory access that another
  thread of the block touches in the same barrier interval is a data race.
- bounds: AddressSanitizer and UndefinedBehaviorSanitizer with the tiles on
  each thread's stack, so that every tile index is checked (the numbers are
  meaningless: threads do not share their tiles), and tiles of their exact
  size, without bank padding columns, so that a row index into those columns
  is out of the row's bounds.

Every real kernel must run clean in both; each deliberately faulty kernel must
be reported by its sanitizer.

    python tools/kernel_checks.py [BUILD_DIR]     (default: build/kernel-checks)
"""

import concurrent.futures
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from setup import CPU_FLAGS  # noqa: E402  (the module's own flags)

CSRC = os.path.join(ROOT, "csrc")
KERNEL_UNITS = [os.path.join(CSRC, "standin", "kernels.cpp"), os.path.join(CSRC, "standin", "volume_kernels.cpp"),
                os.path.join(ROOT, "tests", "cpp", "test_kernel_checks.cpp")]
RUNTIME_UNITS = [os.path.join(CSRC, "standin", "cpu_runtime.cpp"), os.path.join(CSRC, "threads", "pool.cpp")]
# -g1: line tables, for the file and line of each frame of a report.
COMMON = ["-std=c++17", "-g1", "-O1", "-fno-omit-frame-pointer", "-I", CSRC,
          *(f for f in CPU_FLAGS if not f.startswith(("-O", "-g")))]

# The runtime's bookkeeping is not instrumented for the race check: only the
# kernels are, and the runtime tells ThreadSanitizer what orders their threads.
VARIANTS = {
    "race": {"kernels": ["-fsanitize=thread", "-DKORVEX_RACECHECK"], "runtime": ["-DKORVEX_RACECHECK"],
             "link": ["-fsanitize=thread"]},
    "bounds": {"kernels": ["-fsanitize=address,undefined", "-fno-sanitize-recover=all", "-DKORVEX_TILES_ON_STACK"],
               "runtime": ["-fsanitize=address,undefined", "-fno-sanitize-recover=all"],
               "link": ["-fsanitize=address,undefined"]},
}

ENVIRONMENT = {
    "race": {"TSAN_OPTIONS": "halt_on_error=0 exitcode=66"},
    "bounds": {"ASAN_OPTIONS": "detect_stack_use_after_return=0", "UBSAN_OPTIONS": "print_stacktrace=1"},
}

# case -> what each variant must say about it: None for a clean run, else a
# text its report contains.
CASES = {
    "kernels": {"race": None, "bounds": None},
    "missing-barrier": {"race": "missing_barrier_kernel"},
    "write-after-read": {"race": "write_after_read_kernel"},
    "tile-overflow": {"bounds": "tile_overflow_kernel"},
    "padding-column": {"bounds": "padding_column_kernel"},
}
# What a report of each variant starts with: a data race; an access past a
# tile (AddressSanitizer) or an index past a tile row (UndefinedBehaviorSanitizer).
REPORT = {"race": ("WARNING: ThreadSanitizer: data race",),
          "bounds": ("ERROR: AddressSanitizer: stack-buffer-overflow", "runtime error: index")}


def build(variant, build_dir):
    """Compiles one variant into build_dir; returns the executable's path."""
    flags = VARIANTS[variant]
    out = os.path.join(build_dir, variant)
    os.makedirs(out, exist_ok=True)
    units = [(s, flags["kernels"]) for s in KERNEL_UNITS] + [(s, flags["runtime"]) for s in RUNTIME_UNITS]
    objects = [os.path.join(out, os.path.basename(source) + ".o") for source, _ in units]
    # The units compile side by side, as many at once as there are cores.
    commands = [["g++", *COMMON, *extra, "-c", source, "-o", obj] for (source, extra), obj in zip(units, objects)]
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        for done in pool.map(lambda command: subprocess.run(command), commands):
            done.check_returncode()
    exe = os.path.join(out, "test_kernel_checks")
    subprocess.run(["g++", *flags["link"], *objects, "-lboost_context", "-pthread", "-o", exe], check=True)
    return exe


def run(exe, variant, case):
    """(exit status, output) of one case."""
    env = dict(os.environ, **ENVIRONMENT[variant])
    env.pop("LD_PRELOAD", None)
    done = subprocess.run([exe, case], capture_output=True, text=True, env=env, timeout=600)
    return done.returncode, done.stdout + done.stderr


def verdict(variant, case, status, output):
    """None if the outcome is the expected one, else what is wrong."""
    expected = CASES[case][variant]
    if expected is None:
        if status != 0 or "Sanitizer" in output:
            return f"{case} should run clean under the {variant} check:\n{output}"
        return None
    if status == 0 or not any(report in output for report in REPORT[variant]) or expected not in output:
        return f"{case} should be reported by the {variant} check, naming {expected}:\n{output}"
    return None


def main():
    build_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "kernel-checks")
    failures = []
    for variant in VARIANTS:
        exe = build(variant, build_dir)
        for case, outcomes in CASES.items():
            if variant not in outcomes:
                continue
            status, output = run(exe, variant, case)
            problem = verdict(variant, case, status, output)
            print(f"{variant:7} {case:17} {'reported' if outcomes[variant] else 'clean':9} "
                  f"{'ok' if problem is None else 'FAIL'}")
            if problem:
                failures.append(problem)
    for problem in failures:
        print(problem)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
