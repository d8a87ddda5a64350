#!/usr/bin/env bash
# Installs every Debian 12 package the project needs to build, test and
# benchmark. Idempotent: packages already present are left as they are.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config git python3
  libsqlite3-dev sqlite3 zlib1g-dev libplist-dev libssl-dev
  libzip-dev zipcmp zipmerge ziptool libpoppler-cpp-dev
  libjpeg62-turbo-dev libpng-dev libxxhash-dev libpcre2-dev
  nlohmann-json3-dev libfmt-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  gzip coreutils openssl bc
  jdupes rmlint fdupes clang
  poppler-utils docx2txt ssdeep findimagedupes
  chromium gdu ncdu time
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "setup: installing ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -o DPkg::Lock::Timeout=300 "${missing[@]}"
