#!/usr/bin/env bash
# Sets everything up (scripts/setup.sh) and runs every test. With --sanitize the tests are
# built and run with AddressSanitizer and UndefinedBehaviorSanitizer, in build-sanitize/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

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

ctest --test-dir "${QUELM_BUILD_DIR:-build}" --output-on-failure -j2
