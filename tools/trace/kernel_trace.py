"""Builds the tracing build of the kernels on the CPU stand-in, runs it and reads its counts.

    python tools/trace/kernel_trace.py [--only TEXT]... [--out FILE]

Every launch of trace_kernels (tracer.h says what it records) becomes one dict: the case and its shape, the kernel
(demangled as c++filt prints it, with the stand-in's element types named as CUDA's), the counts of its edge and inner
blocks, its tensors, and its sites with their source lines. The result is cached under build/trace by a hash of the
sources, the flags and the shapes, so that a second run costs nothing; a change of any kernel traces again.
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HERE = os.path.dirname(os.path.abspath(__file__))
CSRC = os.path.join(ROOT, "csrc")


def locked(command):
    """command, run under `flock KORVEX_BUILD_LOCK` when that variable names a lock file: machines whose builds
    share a few cores take turns."""
    lock = os.environ.get("KORVEX_BUILD_LOCK")
    return ["flock", lock, *command] if lock else list(command)


# The shapes traced: every tile of the image kernels is an edge tile (the outermost ring of the grid) or an inner
# one; the model scales each kind's counts to the shapes it estimates.
IMAGES = (1, 3, 128, 128)
VOLUME = (1, 1, 32, 64, 64)

# The kernel units with ThreadSanitizer's instrumentation (whose hooks tracer.cpp defines), the others without. No
# vectorisation, no store merging and no scalar replacement of aggregates: each access of the source stays one
# access, as wide as the source makes it (a float2 read whole is one 8-byte access), which is what nvcc issues. One
# difference remains: a float2 built in place in shared memory (float2{a, b} stored to a tile) is traced as two
# 4-byte stores where nvcc makes one 8-byte store (only the table forward's interior tile fill does so).
INSTRUMENTED = [os.path.join(CSRC, "standin", "kernels.cpp"), os.path.join(CSRC, "standin", "volume_kernels.cpp"),
                os.path.join(HERE, "trace_kernels.cpp")]
PLAIN = [os.path.join(HERE, "tracer.cpp"), os.path.join(CSRC, "standin", "cpu_runtime.cpp"),
         os.path.join(CSRC, "threads", "pool.cpp")]
FLAGS = ["-std=c++17", "-O2", "-g1", "-fno-tree-vectorize", "-fno-tree-slp-vectorize", "-fno-store-merging",
         "-fno-tree-sra", "-ffp-contract=off", "-fno-fast-math", "-fno-wrapv", "-Wno-unknown-pragmas", "-I", CSRC,
         "-I", HERE]


def _sources():
    """Every file the traced counts depend on."""
    files = [os.path.join(HERE, name) for name in sorted(os.listdir(HERE)) if name.endswith((".cpp", ".h", ".py"))]
    for room in ("kernels", "standin", "platform", "ops", "threads"):
        directory = os.path.join(CSRC, room)
        files += [os.path.join(directory, n) for n in sorted(os.listdir(directory))
                  if n.endswith((".h", ".cuh", ".cu", ".cpp")) and not (room == "ops" and not n.endswith(".h"))]
    return files


def fingerprint(images=IMAGES, volume=VOLUME, only=()):
    digest = hashlib.sha256(json.dumps([FLAGS, images, volume, sorted(only)]).encode())
    for path in _sources():
        with open(path, "rb") as source:
            digest.update(path.encode() + source.read())
    return digest.hexdigest()[:16]


def build(build_dir):
    """Compiles the tracing build (under the build lock, if any); returns the executable's path."""
    os.makedirs(build_dir, exist_ok=True)
    exe = os.path.join(build_dir, "trace_kernels")
    if os.path.exists(exe) and os.path.getmtime(exe) > max(os.path.getmtime(p) for p in _sources()):
        return exe
    commands, objects = [], []
    for source, extra in [(s, ["-fsanitize=thread"]) for s in INSTRUMENTED] + [(s, []) for s in PLAIN]:
        obj = os.path.join(build_dir, os.path.basename(source) + ".o")
        commands.append(["g++", *FLAGS, *extra, "-c", source, "-o", obj])
        objects.append(obj)
    # Two compilers at a time (the machine's cores), one lock for the whole build.
    script = "\n".join(f"{' '.join(c)} &" + ("\nwait" if i % 2 else "") for i, c in enumerate(commands))
    script += f"\nwait\ng++ -rdynamic {' '.join(objects)} -lboost_context -pthread -ldl -o {exe}\n"
    script = "set -e\n" + script.replace("&\nwait", "&\nwait || exit 1")
    subprocess.run(locked(["bash", "-c", script]), check=True)
    if not os.path.exists(exe):
        sys.exit("the tracing build failed")
    return exe


def _cuda_names(demangled):
    """The stand-in's element types spelled as CUDA's, as cuobjdump prints a kernel instance."""
    return (demangled.replace("korvex::device::half", "__half").replace("korvex::device::bfloat16", "__nv_bfloat16"))


def run(exe, images=IMAGES, volume=VOLUME, only=()):
    args = [exe, "--images", ",".join(map(str, images)), "--volume", ",".join(map(str, volume))]
    for text in only:
        args += ["--only", text]
    done = subprocess.run(args, capture_output=True, text=True)
    if done.returncode not in (0, 3):
        sys.exit(f"trace_kernels failed ({done.returncode}):\n{done.stderr}")
    launches = [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]
    names = subprocess.run(["c++filt"], input="\n".join(l["kernel"] for l in launches), capture_output=True,
                           text=True, check=True).stdout.splitlines()
    for launch, name in zip(launches, names):
        launch["mangled"] = launch["kernel"]
        launch["kernel"] = _cuda_names(name)
    return launches, done.stderr


def symbolize(exe, launches):
    """Adds to every site its outer function and its innermost source line."""
    offsets = sorted({site[0] for launch in launches for site in launch["sites"]})
    where = _symbolize_batch(exe, offsets)
    for launch in launches:
        launch["sites"] = [dict(zip(("offset", "space", "access", "bytes", "requests", "cost", "ideal"), site),
                                function=where[site[0]][0], line=where[site[0]][1]) for site in launch["sites"]]


def _symbolize_batch(exe, offsets):
    """offset -> (outer function, innermost file:line) of each site. With -a addr2line prints each address before
    its (function, line) pairs, of which -i gives one per level of inlining, innermost first."""
    result, current, pairs = {}, None, []
    lines = subprocess.run(["addr2line", "-a", "-f", "-C", "-i", "-e", exe, *offsets], capture_output=True,
                           text=True, check=True).stdout.splitlines() if offsets else []
    for line in lines + ["0x"]:
        if line.startswith("0x"):
            if current is not None:
                where = pairs[1].split(" ")[0] if len(pairs) > 1 else "?"
                if where.startswith("/"):
                    where = os.path.relpath(where, ROOT)
                result[current] = (pairs[-2] if len(pairs) >= 2 else "?", where)
            current, pairs = line, []
        else:
            pairs.append(line)
    # addr2line pads the addresses it prints: key them by value.
    by_value = {int(k, 16): v for k, v in result.items()}
    return {offset: by_value.get(int(offset, 16), ("?", "?")) for offset in offsets}


def traced(images=IMAGES, volume=VOLUME, only=(), build_dir=None, fresh=False):
    """The traced launches, from the cache when the sources have not changed."""
    build_dir = build_dir or os.path.join(ROOT, "build", "trace")
    key = fingerprint(images, volume, only)
    cache = os.path.join(build_dir, f"trace-{key}.json")
    if not fresh and os.path.exists(cache):
        with open(cache) as f:
            return json.load(f)
    exe = build(build_dir)
    launches, refused = run(exe, images, volume, only)
    symbolize(exe, launches)
    result = {"images": list(images), "volume": list(volume), "launches": launches, "refused": refused}
    with open(cache, "w") as f:
        json.dump(result, f)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", action="append", default=[])
    parser.add_argument("--out")
    parser.add_argument("--fresh", action="store_true", help="trace again even if the cache is current")
    args = parser.parse_args()
    result = traced(only=args.only, fresh=args.fresh)
    text = json.dumps(result, indent=1)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)
    for launch in result["launches"]:
        c = {k: launch["edge"][k] + launch["inner"][k] for k in launch["edge"]}
        print(f"{launch['case']:42} {c['shared_wavefronts'] / max(1, c['shared_requests']):5.2f} wavefronts/request "
              f"{c['global_bytes'] / max(1, 32 * c['global_sectors']):5.2f} of sector bytes used")
    if result["refused"]:
        print(result["refused"], end="")


if __name__ == "__main__":
    main()
