#!/usr/bin/env bash
# Sets up, builds and runs every test, then runs the real-time core's and the
# upmix kernel's tests once more in a small ThreadSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 600

cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQM_TSAN=ON -DQM_BUILD_APP=OFF -DQM_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan --target qm_rt_tests qm_audio_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build-tsan/tests/qm_rt_tests
# The upmix kernel with plans swapped while it runs.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build-tsan/tests/qm_audio_tests \
  --gtest_filter='UpmixRealtime.*:UpmixKernel.*:Upmixer.*'
