#!/usr/bin/env bash
# Builds Velmora and runs every test three times: in a normal build (with
# the soak run and every benchmark at a small size), under AddressSanitizer
# with UndefinedBehaviorSanitizer, and under ThreadSanitizer.  After the
# normal build it checks, packs and tests the Roku channel (tools/roku.sh,
# channel/tests/run.js).  Then builds the Debian package and tries it on a
# clean Debian root (tests/package_test.sh).  Then builds the fuzz targets
# with clang and runs each for a short while from its seed corpus.  A
# failure or a sanitizer finding anywhere fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh --test
jobs=$(nproc)
fuzz_seconds=${VELMORA_FUZZ_SECONDS:-20}
started=$SECONDS

stage() { echo "== $1 ($(( SECONDS - started )) s into the run)"; }

stage "layer check"
tools/check_layers.sh

stage "normal build"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=ON >/dev/null
cmake --build build/release -j"$jobs"
(cd build/release && ctest -j"$jobs" --output-on-failure)

stage "Roku channel: compiler and linter, the package, the logic against the real server"
tools/roku.sh
tools/netns.sh node channel/tests/run.js build/release/velmora

stage "soak (60 s)"
VELMORA_BUILD=build/release bench/soak.sh 60

# Every benchmark runs end to end at a small size, so one that no longer
# works fails here; the timings they print are not judged.
stage "benchmarks at a small size"
export VELMORA_BUILD=build/release ROUNDS=1
HTTP_BENCH_MB=16 bench/http_bench.sh
LISTING_FILES=500 SEARCH_FILES=2000 bench/listing_bench.sh
bench/info_bench.sh 2
bench/import_bench.sh 500 50 5
LIVE_BENCH_MB=8 LIVE_BENCH_SECONDS=2 LIVE_BENCH_RUNS=1 bench/live_bench.sh
unset VELMORA_BUILD ROUNDS

stage "AddressSanitizer and UndefinedBehaviorSanitizer build"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON -DVELMORA_TESTS=ON >/dev/null
cmake --build build/asan -j"$jobs"
(cd build/asan &&
 ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
 ctest -j"$jobs" --output-on-failure)

stage "ThreadSanitizer build"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TSAN=ON -DVELMORA_TESTS=ON >/dev/null
cmake --build build/tsan -j"$jobs"
# The crash report runs in the fault handler on purpose (it is the last thing
# the process does), so the fault signals stay the program's own and calls
# that are unsafe in a handler are not reported.
(cd build/tsan &&
 TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:report_signal_unsafe=0 \
 ctest -j"$jobs" --output-on-failure)

stage "Debian package: lintian, the service unit, install, serve and purge on a clean Debian 12 root"
tests/package_test.sh

stage "fuzz targets (${fuzz_seconds}s each, the info text $((6 * fuzz_seconds))s)"
CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DVELMORA_FUZZ=ON -DVELMORA_TESTS=OFF >/dev/null
cmake --build build/fuzz -j"$jobs"
for src in fuzz/*_fuzz.cpp; do
    name=$(basename "$src" .cpp)
    corpus=$(mktemp -d)
    [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$corpus/"
    seconds=$fuzz_seconds
    case "$name" in
        # The channel-list scan starts from real players' lists.
        ecp_scan_fuzz) cp tests/data/real/roku-ecp/*.xml "$corpus/" ;;
        # The packet walk starts from a short transport stream with ten PCRs a second.
        ts_walk_fuzz) ffmpeg -loglevel error -f lavfi -i testsrc=size=64x48:rate=10 -t 1 -c:v mpeg2video \
                          -f mpegts -pcr_period 100 "$corpus/seed.ts" ;;
        # The info text starts from the real files the fixture scripts made;
        # it stands for every media reader, so it runs six times as long.
        info_data_fuzz) cp tests/data/mp3/*.mp3 tests/data/video/*.m?? tests/data/av/*.??? \
                           tests/data/av/*.flac tests/data/jpeg/*.jpg "$corpus/"
                        seconds=$((6 * fuzz_seconds)) ;;
        # The importers start from the libraries, real and made.
        getflds_fuzz|itunes_import_fuzz)
            cp tests/data/itunes/*.xml "$corpus/" 2>/dev/null || true
            for f in tests/data/real/itunes-*/*.xml; do
                [ -f "$f" ] && cp "$f" "$corpus/$(basename "$(dirname "$f")").xml"
            done ;;
        nxtline_fuzz|iphoto_import_fuzz)
            cp tests/data/iphoto/*.xml "$corpus/" 2>/dev/null || true
            for f in tests/data/real/iphoto-*/AlbumData.xml; do
                [ -f "$f" ] && cp "$f" "$corpus/$(basename "$(dirname "$f")").xml"
            done ;;
    esac
    echo "-- $name"
    (cd "$corpus" && "$OLDPWD/build/fuzz/$name" -max_total_time="$seconds" -rss_limit_mb=2048 \
        -print_final_stats=0 "$corpus" 2>&1 | tail -n 3)
    rm -rf "$corpus"
done
echo "All tests passed in the three builds and on the package; fuzz targets ran clean ($(( SECONDS - started )) s)."
