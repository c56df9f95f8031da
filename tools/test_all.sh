#!/usr/bin/env bash
# Every test CI runs: the whole suite (a plain pytest leaves out the tests
# marked ci: the benchmark smoke tests and the device-code and kernel checks),
# then the suite against a CPU module built with AddressSanitizer and
# UndefinedBehaviorSanitizer. Run tools/setup.sh first on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."
.venv/bin/python -m pytest -m "ci or not ci" "$@"
bash tools/sanitized_tests.sh
