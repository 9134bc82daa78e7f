#!/bin/sh
# Every test: installs what is missing, builds into build/, runs CTest
# (unit tests and black-box tests, all under an isolated Wine prefix in
# build/wine).
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure
