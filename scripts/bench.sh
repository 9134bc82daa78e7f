#!/bin/sh
# Benchmarks: prints a table of what the setup costs beside references
# measured in the same run, and writes it to docs/performance.md.
# "--smoke" runs small sizes only (part of the test command).
#   scripts/bench.sh [--smoke]
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)"
if [ "${1:-}" = "--smoke" ]; then
    args="--smoke --report build/performance-smoke.md"
else
    args="--report docs/performance.md"
fi
status=0
# shellcheck disable=SC2086
/usr/bin/python3 tests/bench.py --build build $args || status=$?
/usr/bin/python3 tests/harness/winepfx.py --build build down
exit $status
