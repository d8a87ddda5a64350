#!/usr/bin/env bash
# Installs what the benchmarks need beyond building and testing: Google
# Benchmark and the peers every bench/ script measures against.
set -euo pipefail
exec bash "$(dirname "$0")/setup.sh" libbenchmark-dev \
  jdupes rmlint fdupes gdu ncdu time bc openssl sqlite3 \
  poppler-utils docx2txt ssdeep tlsh-tools findimagedupes bleachbit
