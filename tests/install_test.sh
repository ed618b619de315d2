#!/usr/bin/env bash
# An installed prefix moved elsewhere as a whole still finds its runtime and its models, and
# says which file it looked for when one is missing: it must not lean on the build tree, which
# is still there on this machine. QUELM_MODEL_DIR points it at another folder of models.
# Arguments: the build folder, a small picture.
set -euo pipefail
build="$1" picture="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/first" >/dev/null
mv "$work/first" "$work/moved"
tool="$work/moved/bin/quelm-matte"

# cut EXPECTED-LINE: runs the installed tool; its last line must match EXPECTED-LINE.
cut() {
  local status=0
  "$tool" --image "$picture" --out "$work/cut.png" --size 48x48 2>"$work/err" || status=$?
  if ! grep -q -- "$1" "$work/err"; then
    echo "expected a line matching '$1', got (status $status):"; cat "$work/err"; exit 1
  fi
}

cut '^done 1 frames$'
QUELM_MODEL_DIR="$work/nowhere" cut "^$work/nowhere/isnet.onnx: missing"
mv "$work/moved/share/quelm-matte/isnet.onnx" "$work/isnet.onnx"
cut "^$work/moved/share/quelm-matte/isnet.onnx: missing"
QUELM_MODEL_DIR="$work" cut '^done 1 frames$'
mv "$work/moved/lib/libonnxruntime.so.1" "$work/"
QUELM_MODEL_DIR="$work" cut "^$work/moved/lib/libonnxruntime.so.1: missing"
echo "moved prefix: ok"
