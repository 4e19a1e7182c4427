#!/usr/bin/env bash
# Sets up, builds and starts the application (files given open in its
# editor; when it already runs, they are handed to it).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_TESTS=OFF -DQM_BUILD_BENCH=OFF >/dev/null
cmake --build build --target quillmarsh
exec ./build/src/quillmarsh "$@"
