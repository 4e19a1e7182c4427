#!/usr/bin/env bash
# Sets up, builds and runs every test, as CI does, with warnings as errors:
# 1. the tests of the code shared between threads (real-time core, upmix
#    kernel, the monitor's matrix node and stream, catalog, metadata,
#    scanner, change log, prepared FFTs) in a small ThreadSanitizer build;
# 2. the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer,
#    leak checking on;
# 3. the engine and its test programs built by clang (compiled and linked,
#    not run: the other builds run them), the engine instrumented for the
#    libFuzzer harnesses, each harness run a bounded number of inputs: at
#    the lowest priority beside the tests of the sound servers and the
#    desktops (below), which leave most of the processors idle;
# 4. the plain build: first the program alone, configured with the test
#    rig's CMake packages refused (so that the program never comes to need
#    one), then every benchmark, and the tests that only it can judge (the
#    soaks, the real-time tests' system-call trap, memory under a flood).
# The tests that play through a JACK server or a PipeWire daemon in real
# time, and those on a private desktop (Xvfb, openbox, the file managers,
# whose calls are bounded in time), run after the others in two lines side
# by side, sound and desktops, each one test at a time, so that the suite's
# own load does not make a server miss its periods or a desktop late (the
# one-minute soaks run in the plain build only).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --tests

started=$SECONDS
# Each step's start: wall time so far, and the CPU time its commands took
# (user and system, every process), which says what a busier or idler
# machine would take.
step() {
  local t
  t=$(mktemp)
  times >"$t"
  echo "== $1 (at $((SECONDS - started)) s, CPU $(awk 'NR == 2 {
      split($1, u, "m"); split($2, s, "m"); printf "%d", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$t") s)"
  rm -f "$t"
}
jobs=$(nproc)
serial='Jack|PipeWire|Soak|Desktop\.'
# Every build keeps line tables only: sanitizer reports and debuggers still
# name files and lines, and the four build trees take a fraction of the disk
# (full debug information is most of an object file's size).
lean=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG")
echo "Free disk space: $(df -h --output=avail . | tail -n 1 | tr -d ' ')"

step "ThreadSanitizer: code shared between threads"
tsan="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${lean[@]}" -DQM_WERROR=ON \
  -DQM_TSAN=ON -DQM_BUILD_APP=ON -DQM_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan --target qm_rt_tests qm_spatial_tests qm_library_tests qm_platform_tests \
  qm_monitor_tests qm_analysis_tests qm_app_tests
# The programs below run side by side, each with its own log, shown when it
# fails (each judges races, not time; those on a JACK server start their own).
tsan_pids=()
tsan_logs=()
tsan_run() {
  local log
  log=$(mktemp)
  TSAN_OPTIONS="$tsan" QT_QPA_PLATFORM=offscreen "$@" >"$log" 2>&1 &
  tsan_pids+=($!)
  tsan_logs+=("$log")
}
tsan_run build-tsan/tests/qm_rt_tests
# The upmix kernel with plans swapped while it runs.
tsan_run build-tsan/tests/qm_spatial_tests --gtest_filter='UpmixRealtime.*:UpmixKernel.*:Upmixer.*'
# The monitor's matrix node with configurations published while it renders.
tsan_run build-tsan/tests/qm_monitor_tests --gtest_filter='MatrixUnit*:MonitorChain*'
# The monitor's stream losing its output, its source and its server (the
# other stream tests move samples between clients, which the sanitizer
# cannot follow through the server).
tsan_run build-tsan/tests/qm_platform_tests --gtest_filter='AudioDuplexJack.Lost*'
# One catalog shared by writers and readers on several threads; metadata
# read by many threads at once, the asset reads on threads of their own;
# two rewrites of one file at once beside a reader; a scan with searches and
# facets beside it, and its reads running ahead of its writes; a search
# stopped from another thread; the full-text table rebuilt on the catalog's
# thread beside searches; appends and pulls of the change log on several
# threads; a scan kept waiting by another program's lock.
tsan_run build-tsan/tests/qm_library_tests \
  --gtest_filter='Catalog.SharedBetweenThreads:Catalog.TransactionsAndTheLock:MetaIO.ManyThreadsAtOnce:RIFFMetaWrite.TwoRewritesAtOnceAndAReaderSeeOnlyWholeFiles:LibraryScanner.ScanAndSearchAtOnce:LibraryScanner.ReadsRunAheadOfTheWritesByFourBatches:CatalogSearch.AStoppedSearchEndsAtOnce:CatalogUpgrade.InTheBackground:WorkerPool.*:ChangeLog.ManyThreadsAppend:ChangeLog.TwoPullsOfOneRootAtOnce:LibraryScanner.ALockedCatalogIsWaitedForOrReported'
tsan_run build-tsan/tests/qm_platform_tests --gtest_filter='AssetMetadata.*'
# Prepared FFTs handed between the analyses of several threads.
tsan_run build-tsan/tests/qm_analysis_tests --gtest_filter='RealFFT.*'
# The LV2 inserts' worker threads handing work and answers to the blocks.
tsan_run build-tsan/tests/qm_platform_tests --gtest_filter='Lv2Host.*'
# The audition player's loader thread and its hand-overs to the main thread,
# loads and starts overtaking each other, a device and the server lost
# mid-play (about 25 s); the library's writer queue, where a long team pull
# gives way to a save and to the model's end.
# (This build's app test program holds only the files of the suites run
# here and below: see tests/CMakeLists.txt.)
tsan_run build-tsan/tests/qm_app_tests --gtest_filter='Player*:LibraryLongPulls.*'
# The sound server (a JACK server, the PipeWire daemon) stopped and killed
# under the player, the editor and the monitor at once, and started again
# (about 20 s).
tsan_run build-tsan/tests/qm_app_tests --gtest_filter='*SoundServerLoss*'
tsan_failed=0
for i in "${!tsan_pids[@]}"; do
  if wait "${tsan_pids[$i]}"; then
    tail -n 1 "${tsan_logs[$i]}"
  else
    cat "${tsan_logs[$i]}"
    tsan_failed=1
  fi
  rm -f "${tsan_logs[$i]}"
done
[ "$tsan_failed" = 0 ]

# The clang build and its fuzz runs, as one job (see below). The engine's
# test programs are only built here, so that code only GCC takes cannot
# come in unseen; they run in the other builds.
clang_step() {
  CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${lean[@]}" \
    -DQM_FUZZ=ON -DQM_WERROR=ON -DQM_BUILD_APP=OFF -DQM_BUILD_TESTS=ON -DQM_BUILD_BENCH=OFF >/dev/null
  cmake --build build-fuzz -j "$(( (jobs + 1) / 2 ))"
  # New inputs go to a scratch folder, never to fuzz/seeds.
  local run name log
  for run in riff_bext:100000 settings:30000 output_profile:50000 upmix_settings:50000 \
             pins:50000 audio_file_info:3000 riff_meta:20000 http_head:100000 \
             change_log_line:50000 stored_meta:50000; do
    name=${run%%:*}
    mkdir -p "$fuzz_scratch/$name"
    log="$fuzz_scratch/$name.log"
    if ! build-fuzz/fuzz/fuzz_"$name" -runs="${run##*:}" -timeout=20 -seed=1 \
         -artifact_prefix="$fuzz_scratch/" "$fuzz_scratch/$name" fuzz/seeds/"$name" >"$log" 2>&1; then
      cat "$log"
      return 1
    fi
    echo "fuzz_$name: $(tail -n 1 "$log")"
  done
}
fuzz_scratch=$(mktemp -d)
clang_log=$(mktemp)
stop_jobs() {
  local job
  for job in "${plain_build:-}" "${clang_job:-}"; do
    [ -z "$job" ] || kill -INT -- -"$job" 2>/dev/null || true
  done
}
trap 'stop_jobs; rm -rf "$fuzz_scratch" "$clang_log"' EXIT

step "AddressSanitizer and UndefinedBehaviorSanitizer: the whole suite"
export ASAN_OPTIONS="detect_leaks=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${lean[@]}" -DQM_WERROR=ON \
  -DQM_ASAN=ON -DQM_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan
ctest --test-dir build-asan --output-on-failure -j"$jobs" -E "$serial"
# The plain build of the last step is begun meanwhile, at the lowest
# priority: the JACK servers' and clients' real-time threads run above it,
# and the private desktops' programs get the processors first. Once those
# tests are done it is stopped and finished at the normal priority, since a
# machine busy with other work would starve it for as long as that work
# runs (what was compiled stays compiled). The whole suite ran above; the
# plain build's tests are those whose judgement needs the program as it
# ships: the one-minute soaks (the render callbacks' CPU time), the
# real-time tests' trap of system calls (a sanitizer's runtime makes calls
# of its own), the control port's memory under a flood (a sanitizer keeps
# freed memory aside) and the program itself driven from outside on a
# private desktop. Every benchmark is built.
plain=(-S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${lean[@]}" -DQM_WERROR=ON)
# The program alone, as `scripts/run.sh` builds it on a machine without the
# test rig: a configure that would need GTest, Google Benchmark or
# libebur128 fails here, and so does a cache that found one of them.
rm -f build/program-alone.built
cmake --fresh --no-warn-unused-cli "${plain[@]}" -DQM_BUILD_TESTS=OFF -DQM_BUILD_BENCH=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
if grep -E '^(GTest|GMock|benchmark|EBUR128)[A-Za-z0-9_]*(_DIR|_FOUND)[:=]' build/CMakeCache.txt | grep -v NOTFOUND; then
  echo "The program's configure looked for a package only the tests use (above)"
  exit 1
fi
# Then the same tree with everything: the program's objects stay as they are.
program_alone() {
  cmake --build build --target quillmarsh && touch build/program-alone.built
}
everything() {
  cmake "${plain[@]}" -DQM_BUILD_TESTS=ON -DQM_BUILD_BENCH=ON \
    -UCMAKE_DISABLE_FIND_PACKAGE_GTest -UCMAKE_DISABLE_FIND_PACKAGE_benchmark >/dev/null
  mapfile -t benches < <(ninja -C build -t targets all | sed -n 's#^bench/\(.*/\)\{0,1\}\(bench_[a-z0-9_]*\): .*#\2#p' | sort -u)
  plain_targets=(quillmarsh qm_soak_tests qm_playback_tests qm_monitor_tests qm_app_tests "${benches[@]}")
}
# In a process group of its own, so that stopping it stops its compilers.
set -m
(unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
 renice -n 19 -p "$BASHPID" >/dev/null
 program_alone && everything && exec ninja -C build "${plain_targets[@]}") >/dev/null 2>&1 &
plain_build=$!
# The clang job beside it, also at the lowest priority.
(unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
 renice -n 19 -p "$BASHPID" >/dev/null
 clang_step) >"$clang_log" 2>&1 &
clang_job=$!
set +m
# Two lines of them side by side, each one test at a time: the sound
# servers' tests, and the private desktops' (which start no sound server);
# neither judges time, and each line alone keeps its own load low. Each line
# has its own log, shown whole when it fails.
serial_run() {
  local log
  log=$(mktemp)
  ctest --test-dir build-asan --output-on-failure "$@" >"$log" 2>&1 &
  serial_pids+=($!)
  serial_logs+=("$log")
}
serial_pids=()
serial_logs=()
serial_run -R 'Jack|PipeWire'
serial_run -R 'Desktop\.' -E 'Jack|PipeWire'
serial_failed=0
for i in "${!serial_pids[@]}"; do
  if wait "${serial_pids[$i]}"; then
    grep -E 'tests passed|Total Test time' "${serial_logs[$i]}"
  else
    cat "${serial_logs[$i]}"
    serial_failed=1
  fi
  rm -f "${serial_logs[$i]}"
done
unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
kill -INT -- -"$plain_build" 2>/dev/null || true
wait "$plain_build" || true
plain_build=
[ "$serial_failed" = 0 ]
# The clang job goes on at the normal priority while the plain build ends,
# and is over before the plain build's tests, whose judgement is the CPU
# time of the render callbacks.
renice -n 0 -g "$clang_job" >/dev/null 2>&1 || true

step "The plain build: the program alone, then the benchmarks, and what a sanitizer's runtime would spoil"
[ -f build/program-alone.built ] || program_alone
everything
cmake --build build --target "${plain_targets[@]}"
step "clang: the engine, its test programs and the fuzz harnesses (begun beside the sound servers' tests)"
if wait "$clang_job"; then
  grep '^fuzz_' "$clang_log"
else
  cat "$clang_log"
  exit 1
fi
clang_job=
step "The plain build's tests"
ctest --test-dir build --output-on-failure -R '^(RenderRealTime|MatrixUnitRealTime|MonitorChainRealTime|ControlServerFlood)\.'
ctest --test-dir build --output-on-failure -R 'Soak|^AppEndToEndDesktop\.'
step "Done"
