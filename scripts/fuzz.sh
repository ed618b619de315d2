#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer (AddressSanitizer and UndefinedBehavior-
# Sanitizer on, in build-fuzz/) and runs each for a bounded time from its seeds:
#   options_fuzz  argument vectors, through the options, the dispatch and one small cut-out
#   picture_fuzz  picture files, decoded and cut out small with the real segmentation
#   video_fuzz    video files, decoded, turned upright and cut out small
# QUELM_FUZZ_SECONDS (default 60) is each target's time. A crash, a leak, undefined behaviour
# or an input slower than 30 s fails the run; the input is kept in build-fuzz/fuzzing/artifacts/.
# Such an input is a fault of ours: it becomes a row of the table test of the stage it breaks
# once that is mended. libvips and FFmpeg are Debian's builds, without coverage hooks: the
# fuzzer steers by our own code's edges and reaches theirs by mutation alone.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

targets=(options_fuzz picture_fuzz video_fuzz)
export QUELM_EXTRA_PACKAGES="clang libclang-rt-14-dev"
export QUELM_BUILD_DIR=build-fuzz
export QUELM_CMAKE_ARGS="-DCMAKE_CXX_COMPILER=clang++ -DQUELM_FUZZ=ON -DQUELM_TESTS=OFF -DQUELM_BENCH=OFF"
export QUELM_BUILD_TARGETS="${targets[*]}"
bash scripts/setup.sh

seconds="${QUELM_FUZZ_SECONDS:-60}"
work="$QUELM_BUILD_DIR/fuzzing"
shared="$root/../shared/media"
rm -rf "$work"
mkdir -p "$work/artifacts" "$work/options" "$work/picture" "$work/video"

# Seeds. Argument vectors: each argument ended by a NUL byte.
seed() { printf '%s\0' "${@:2}" > "$work/options/$1"; }
seed still --image a.png --out b.png --size 24x16 --feather 4 --erode 2 --decontaminate off
seed video --in c.mp4 --ss 1 --t 2 --size 32x24 --smooth 0.5 --mode person
seed usage --out b.png --t 0
# Pictures and videos: the shared edge cases and clips small enough to mutate quickly (the
# larger ones are the same formats at a larger size).
find "$shared/edge" -type f -size -160k -exec cp {} "$work/picture/" \;
find "$shared/video" -type f -size -170k -exec cp {} "$work/video/" \;

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for target in "${targets[@]}"; do
  corpus="$work/${target%_fuzz}"
  extra=()
  if [[ "$target" == options_fuzz ]]; then extra+=(-dict=tests/fuzz/options.dict -max_len=256); else extra+=(-max_len=170000); fi
  echo "== $target, ${seconds} s"
  "$QUELM_BUILD_DIR/tests/fuzz/$target" "$corpus" "${extra[@]}" -max_total_time="$seconds" -timeout=30 \
    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$work/artifacts/$target-" 2>"$work/$target.log" ||
    { tail -n 60 "$work/$target.log"; echo "$target failed; its input is in $work/artifacts/"; exit 1; }
  grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$work/$target.log"
done
