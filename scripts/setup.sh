#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs to build and test (the
# benchmark peers come from scripts/setup-bench.sh, which the benchmarks call).
# Idempotent: packages already present are left as they are.
#
#   scripts/setup.sh [EXTRA_PACKAGE...]
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config git python3
  libsqlite3-dev zlib1g-dev libplist-dev libssl-dev libzip-dev
  libpoppler-cpp-dev libjpeg62-turbo-dev libpng-dev libxxhash-dev libpcre2-dev
  nlohmann-json3-dev libfmt-dev libcli11-dev libgtest-dev libgmock-dev
  clang clang-format
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "setup: installing ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -o DPkg::Lock::Timeout=300 "${missing[@]}"
