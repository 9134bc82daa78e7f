#!/bin/sh
# Builds the release exe and the demo build, then shows a whole first
# install and a second run in the isolated Wine prefix, against a loopback
# HTTPS server that serves demo artefacts.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)"
exec /usr/bin/python3 scripts/demo.py build
