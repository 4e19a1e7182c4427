#!/usr/bin/env bash
# Sets up, builds and runs every test: first the real-time core's and the
# upmix kernel's tests in a small ThreadSanitizer build, then the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

tsan="halt_on_error=1 second_deadlock_stack=1"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQM_TSAN=ON -DQM_BUILD_APP=OFF -DQM_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan --target qm_rt_tests qm_spatial_tests qm_library_tests qm_platform_tests \
  qm_monitor_tests
TSAN_OPTIONS="$tsan" build-tsan/tests/qm_rt_tests
# The upmix kernel with plans swapped while it runs.
TSAN_OPTIONS="$tsan" build-tsan/tests/qm_spatial_tests \
  --gtest_filter='UpmixRealtime.*:UpmixKernel.*:Upmixer.*'
# The monitor's matrix node with configurations published while it renders.
TSAN_OPTIONS="$tsan" build-tsan/tests/qm_monitor_tests --gtest_filter='MatrixUnit*'
# The monitor's stream losing its output, its source and its server (the
# other stream tests move samples between clients, which the sanitizer
# cannot follow through the server).
TSAN_OPTIONS="$tsan" build-tsan/tests/qm_platform_tests --gtest_filter='AudioDuplexJack.Lost*'
# One catalog shared by writers and readers on several threads; metadata
# read by many threads at once, the asset reads on threads of their own.
TSAN_OPTIONS="$tsan" build-tsan/tests/qm_library_tests \
  --gtest_filter='Catalog.SharedBetweenThreads:Catalog.TransactionsAndTheLock:MetaIO.ManyThreadsAtOnce'
TSAN_OPTIONS="$tsan" build-tsan/tests/qm_platform_tests --gtest_filter='AssetMetadata.*'

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
# Tests that play through a JACK server in real time run after the others,
# one at a time, so that the suite's own load does not make the server miss
# its periods. So do the tests on a private desktop (Xvfb, openbox, Thunar),
# whose calls to the file manager are bounded in time.
realtime='Jack|Soak|Desktop\.'
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 600 -E "$realtime"
ctest --test-dir build --output-on-failure --timeout 600 -R "$realtime"
