#!/bin/sh
# Installs the Debian 12 packages that building and testing need, if any is missing.
set -eu
packages="cmake ninja-build g++ clang libclang-rt-14-dev clang-format googletest libgtest-dev
          libgmock-dev libbenchmark-dev pkg-config binutils netbase fis-gtm libsodium-dev
          libseccomp-dev libssl-dev openssl libcli11-dev libedit-dev nlohmann-json3-dev python3 python3-venv python3-pip
          python3-setuptools mypy"
missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
