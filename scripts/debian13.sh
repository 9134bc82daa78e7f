#!/bin/sh
# The test suite on Debian 13 (trixie): MinGW-w64 GCC 14 with binutils 2.44,
# Wine 10, bsdtar 3.7.4, cppcheck 2.17, Python 3.13. The system folder
# build/debian13/root is made once with debootstrap from Debian's packages
# (the mirror this host's apt uses) and reused while it is there with the
# packages that install-deps.sh lists (a changed list makes it anew); the suite
# builds into build/debian13/build. With arguments, runs them there instead
# (for example: scripts/debian13.sh sh).
#
# Everything runs inside bwrap, in a mount namespace of its own: its /proc,
# /dev and the view of the sources exist only while it runs. No bind mount
# can outlive the run, so "rm -rf build" never reaches the host's /dev.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh debootstrap bubblewrap
root=build/debian13/root
packages=$(scripts/install-deps.sh --list)
if [ "$(cat "$root/.zept-ready" 2>/dev/null)" != "$packages" ]; then
    echo "Making the Debian 13 folder $root (a few minutes) ..."
    mirror=$(grep -hs -o -E 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/* \
             | grep -v security | head -n 1 | tr -d ' ')
    # A folder left by an interrupted run is incomplete: it is made anew
    # (it never holds a mount: all of them live in bwrap's namespace).
    rm -rf "$root.new"
    mkdir -p build/debian13
    # shellcheck disable=SC2046
    debootstrap --variant=minbase --include=$(echo $packages | tr ' ' ','),ca-certificates \
        trixie "$root.new" $mirror > build/debian13/debootstrap.log 2>&1 \
        || { tail -n 20 build/debian13/debootstrap.log; exit 1; }
    echo "$packages" > "$root.new/.zept-ready"
    rm -rf "$root"
    mv "$root.new" "$root"
    # A Wine prefix made by the old folder's Wine no longer trusts the test CA.
    rm -rf build/debian13/build/wine
fi
mkdir -p "$root/src"
if [ $# = 0 ]; then
    set -- scripts/suite.sh build/debian13/build
fi
# CAP_SYS_ADMIN lets a test mount a small tmpfs (a full disk) inside this
# namespace, where it ends with the run like every other mount.
exec bwrap --bind "$root" / --bind "$(pwd)" /src --proc /proc --dev /dev --perms 1777 --tmpfs /tmp \
    --cap-add CAP_SYS_ADMIN \
    --ro-bind /etc/resolv.conf /etc/resolv.conf --chdir /src \
    --setenv PATH /usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    --setenv HOME /root --unsetenv PYTHONPATH "$@"
