#!/usr/bin/env bash
# Sets up everything on a fresh machine: the system packages, a virtual
# environment in .venv with torch and the test tools, and korvex built in
# place (the CPU module always; the CUDA module too when nvcc is installed).
# Says what it is doing at each step; torch's download (several hundred MB)
# shows pip's progress.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { echo; echo "==> $*"; }

# python3-venv: Debian and Ubuntu ship venv's pip bootstrap (ensurepip) apart from python3.
if [ ! -e /usr/include/boost/context/detail/fcontext.hpp ] || ! command -v g++ >/dev/null \
    || ! python3 -c "import ensurepip" 2>/dev/null; then
    step "Installing the C++ compiler, Boost.Context and python3-venv with apt"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -q
    $sudo apt-get install -y -q g++ libboost-context-dev python3-venv
else
    step "g++, Boost.Context and python3-venv are installed"
fi

if ! command -v chromium >/dev/null; then
    # The test that looks at the command line's HTML report in a browser uses
    # headless Chromium; without it that one test is skipped.
    step "Installing Chromium with apt (for the report's browser test)"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    { $sudo apt-get update -q && $sudo apt-get install -y -q chromium; } \
        || echo "Chromium could not be installed: the report's browser test will be skipped"
else
    step "Chromium is installed"
fi

step "Creating the virtual environment in .venv"
python3 -m venv .venv
.venv/bin/pip install -q --upgrade pip

torch_requirement=$(grep -E '^torch[=<>~ ]' requirements-dev.txt)
step "Installing $torch_requirement (a large download; pip shows its progress)"
.venv/bin/pip install --progress-bar on "$torch_requirement"

step "Installing the build, test and benchmark tools (requirements-dev.txt)"
.venv/bin/pip install -q -r requirements-dev.txt
.venv/bin/pip install -q --no-deps -r requirements-no-deps.txt

if command -v nvcc >/dev/null && [ "${KORVEX_CUDA:-}" != "0" ]; then
    step "Building korvex in place: the CPU modules, and the CUDA module for seven GPU architectures
    (nvcc is installed; about 17 minutes on two busy cores, without progress; KORVEX_CUDA=0 skips it)"
elif command -v nvcc >/dev/null; then
    step "Building korvex in place: the CPU modules (KORVEX_CUDA=0: no CUDA module)"
else
    step "Building korvex in place: the CPU module (no nvcc, so no CUDA module)"
fi
.venv/bin/pip install -q --no-build-isolation -e .

step "Checking the build"
.venv/bin/python -c "import korvex; print('korvex built; CUDA module:', korvex.has_cuda_module())"
