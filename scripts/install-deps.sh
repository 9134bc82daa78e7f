#!/bin/sh
# Installs the Debian packages that building and testing need, and any
# further packages named as arguments. Idempotent: when everything is there
# it only checks and returns. "--list" prints the package names instead.
#   scripts/install-deps.sh [--list | PACKAGE...]
set -eu

PACKAGES="cmake make g++-mingw-w64-x86-64-win32 wine wine64 libarchive-tools
python3 python3-pytest python3-pefile python3-yaml openssl doctest-dev osslsigncode softhsm2
libengine-pkcs11-openssl curl cppcheck tmux strace aria2"
if [ "${1:-}" = "--list" ]; then
    echo $PACKAGES
    exit 0
fi
PACKAGES="$PACKAGES $*"

missing=""
for package in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
as_root=""
if [ "$(id -u)" != 0 ]; then
    as_root="sudo"
fi
$as_root apt-get update -q
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -q --no-install-recommends $missing
