#!/usr/bin/env bash
# Sets up everything on a fresh machine: the system packages, a virtual
# environment in .venv with torch and the test tools, and korvex built in
# place (the CPU module always; the CUDA module too when nvcc is installed).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -e /usr/include/boost/context/detail/fcontext.hpp ] || ! command -v g++ >/dev/null; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -q
    $sudo apt-get install -y -q g++ libboost-context-dev
fi

python3 -m venv .venv
.venv/bin/pip install -q --upgrade pip
.venv/bin/pip install -q -r requirements-dev.txt
.venv/bin/pip install -q --no-build-isolation -e .
.venv/bin/python -c "import korvex; print('korvex built; CUDA module:', korvex.has_cuda_module())"
