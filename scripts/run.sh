#!/usr/bin/env bash
# Installs what is needed, builds, and runs the main job: the catalogue of
# everything the engine can scan, from the built-in module description file.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DORVEXA_BUILD_TESTS=OFF
./build/bin/orvexa catalogue "$@"
# Then where the space of the home folder went: its largest folders and files.
./build/bin/orvexa disk-usage "$HOME" --top 20
# And the system junk this machine holds (listing only: nothing is removed).
./build/bin/orvexa junk
