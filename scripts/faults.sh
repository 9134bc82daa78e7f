#!/bin/sh
# The fault suite: kills at random moments, a full disk, misbehaving servers,
# two setups at once. Without options, the long mode, whose figures go to
# docs/reliability.md; "--quick" runs the few trials of the test command.
#   scripts/faults.sh [--quick] [--seed N]
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)"
mode="--long"
report="docs/reliability.md"
if [ "${1:-}" = "--quick" ]; then
    mode=""
    report="build/reliability-quick.md"
    shift
fi
status=0
/usr/bin/python3 tests/faults.py --build build $mode --report "$report" "$@" || status=$?
/usr/bin/python3 tests/harness/winepfx.py --build build down
exit $status
