#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12.
# Quiet and quick when everything is already there.
set -euo pipefail
pkgs=(build-essential cmake ninja-build clang libclang-rt-14-dev clang-format
      libgtest-dev libgmock-dev libbenchmark-dev
      libsqlite3-dev sqlite3 zlib1g-dev libmspack-dev libwim-dev
      cabextract gcab python3 python3-olefile libemail-outlook-message-perl
      openssl gzip xz-utils zstd llvm-14
      pkg-config libcairo2-dev libpango1.0-dev fonts-liberation)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
