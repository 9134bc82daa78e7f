#!/bin/sh
# Every test, on both build hosts: the whole suite on this Debian 12 host
# (build/), then again inside a Debian 13 folder (build/debian13/), where
# its own compiler, binutils, Wine, bsdtar and cppcheck build and run it.
# Both always run; the exit code is 0 only when both passed.
set -eu
cd "$(dirname "$0")/.."
status=0
scripts/suite.sh build || status=1
scripts/debian13.sh || status=1
[ $status = 0 ] && echo "Both build hosts passed." || echo "A build host failed; see above."
exit $status
