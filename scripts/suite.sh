#!/bin/sh
# One build host's share of the test command: installs what is missing,
# builds into the given folder and runs CTest there (unit tests and
# black-box tests, all under an isolated Wine prefix in BUILD/wine).
#   scripts/suite.sh BUILD
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B "$1"
cmake --build "$1" -j"$(nproc)"
ctest --test-dir "$1" --output-on-failure
