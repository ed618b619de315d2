#!/usr/bin/env bash
# Sets everything up (scripts/setup.sh) and runs every test. With --sanitize the tests are
# built and run with AddressSanitizer and UndefinedBehaviorSanitizer, in build-sanitize/.
# With --thread the engine's and the matte's tests are built and run with ThreadSanitizer, in
# build-tsan/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

if [[ "${1:-}" == "--thread" ]]; then
  # Only programs whose threads are all the engine's own: ONNX Runtime and libvips are prebuilt
  # without ThreadSanitizer, which cannot see how their threads hand memory to one another and
  # would report every hand-over as a race. So the tests that read picture files (libvips)
  # or run a network (the mask's) are left out, and so is the blur's accuracy table, one thread
  # through the kernels for a minute.
  tests=(imaging_test kernels_test matte_test)
  export QUELM_BUILD_DIR=build-tsan
  export QUELM_CMAKE_ARGS="-DQUELM_SANITIZE_THREAD=ON -DQUELM_BENCH=OFF"
  export QUELM_BUILD_TARGETS="${tests[*]}"
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
  bash scripts/setup.sh
  for t in "${tests[@]}"; do
    "$QUELM_BUILD_DIR/tests/$t" --gtest_brief=1 --gtest_filter='-PngFile.*:PictureFile.*:*PhotosSoftEdge*:*BlurAccuracy*:Mask.*'
  done
  exit 0
fi

if [[ "${1:-}" == "--sanitize" ]]; then
  export QUELM_BUILD_DIR=build-sanitize
  export QUELM_CMAKE_ARGS="-DQUELM_SANITIZE=ON -DQUELM_BENCH=OFF"
  export ASAN_OPTIONS="abort_on_error=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
fi
bash scripts/setup.sh

# The options tests read numbers under a comma-decimal locale too.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi

# The shared pictures and videos live beside the clone; without them only the tests that do
# not read them can run, and CI must never lose the others that way.
skip=()
if [[ ! -d "$root/../shared/media" ]]; then
  if [[ -n "${CI:-}" ]]; then
    echo "test.sh: $root/../shared/media is missing" >&2
    exit 1
  fi
  echo "test.sh: $root/../shared/media is missing, so the tests that read it are left out" >&2
  skip=(--label-exclude shared)
fi
ctest --test-dir "${QUELM_BUILD_DIR:-build}" --output-on-failure -j2 "${skip[@]}"
