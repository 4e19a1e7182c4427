#!/usr/bin/env bash
# Sets up, builds and runs every test, as CI does, with warnings as errors:
# 1. the real-time core's and the upmix kernel's tests in a small
#    ThreadSanitizer build;
# 2. the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer,
#    leak checking on;
# 3. the whole suite in the plain build.
# The tests that play through a JACK server in real time run after the
# others, one at a time, so that the suite's own load does not make the
# server miss its periods (the one-minute soak runs in the plain build only).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

started=$SECONDS
step() { echo "== $1 (at $((SECONDS - started)) s)"; }
jobs=$(nproc)
realtime='Jack|Soak'

step "ThreadSanitizer: real-time core and upmix kernel"
tsan="halt_on_error=1 second_deadlock_stack=1"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_WERROR=ON \
  -DQM_TSAN=ON -DQM_BUILD_APP=OFF -DQM_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan --target qm_rt_tests qm_spatial_tests
TSAN_OPTIONS="$tsan" build-tsan/tests/qm_rt_tests
# The upmix kernel with plans swapped while it runs.
TSAN_OPTIONS="$tsan" build-tsan/tests/qm_spatial_tests \
  --gtest_filter='UpmixRealtime.*:UpmixKernel.*:Upmixer.*'

step "AddressSanitizer and UndefinedBehaviorSanitizer: the whole suite"
export ASAN_OPTIONS="detect_leaks=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_WERROR=ON \
  -DQM_ASAN=ON -DQM_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan
ctest --test-dir build-asan --output-on-failure -j"$jobs" -E "$realtime"
ctest --test-dir build-asan --output-on-failure -R Jack
unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS

step "The whole suite"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_WERROR=ON >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600 -E "$realtime"
ctest --test-dir build --output-on-failure --timeout 600 -R "$realtime"
step "Done"
