#!/usr/bin/env bash
# Prints the figures that matter for speed: milliseconds per frame of the matting chain (the
# Google Benchmark programs), then whole runs of the tool: video ranges with the tool's own
# report and the wall-clock time per frame, still pictures with wall-clock time and peak
# memory, and the person range written to WebM and MOV files against the raw stream. Run after
# scripts/setup.sh; takes a few minutes.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
tool=build/quelm-matte
media=../shared/media
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "== the matting chain at 1080x1920, ms per frame (median of 5; Clip: the shared clip's frames, with each stage's ms)"
build/bench/matte_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>/dev/null |
  awk '/_median/ {line = "  " $1 " " $2 " " $3; for (i = 7; i <= NF; ++i) line = line " " $i; print line}'
echo "== the engine's filters at 1080x1920, ms per render (median of 5)"
build/bench/imaging_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>/dev/null |
  awk '/_median/ {print "  " $1, $2, $3}'

# video MODE SECONDS: the tool's final line, wall-clock ms per frame, peak memory.
video() {
  local mode="$1" seconds="$2" log="$work/video.log"
  /usr/bin/time -f "%e %M" -o "$work/time" "$tool" --in "$media/video/v10_h264_1080p30_people_zoom_pan.mp4" \
    --ss 0 --t "$seconds" --mode "$mode" 2>"$log" >/dev/null
  local frames wall rss
  frames=$(sed -n 's/^done \([0-9]*\) frames.*/\1/p' "$log")
  read -r wall rss <"$work/time"
  echo "  video $mode ${seconds}s: $(tail -n 1 "$log"); wall $(awk -v w="$wall" -v n="$frames" 'BEGIN {printf "%.1f", n ? 1000 * w / n : 0}') ms/frame; peak $((rss / 1024)) MB"
}
echo "== whole video runs, shared 1080p clip, default 1080x1920 output"
video person 5
video subject 1

# still LABEL PICTURE MODE: wall-clock seconds and peak memory of one run.
still() {
  local label="$1" picture="$2" mode="$3"
  /usr/bin/time -f "%e %M" -o "$work/time" "$tool" --image "$picture" --out "$work/out.png" --mode "$mode" 2>/dev/null
  local wall rss
  read -r wall rss <"$work/time"
  echo "  still $label $mode: ${wall} s, peak $((rss / 1024)) MB"
}
echo "== whole still runs"
vips resize "$media/photos/p05_people_two_standing.jpg" "$work/12mp.jpg[Q=90]" 3.5527 --vscale 4.5386
still "12 MP JPEG" "$work/12mp.jpg" person
still "12 MP JPEG" "$work/12mp.jpg" subject
still "48 MP JPEG" "$media/edge/e12_huge_8000x6000.jpg" person
still "48 MP JPEG" "$media/edge/e12_huge_8000x6000.jpg" subject

# personWall [ARGS...]: wall-clock seconds of the 5 s person range, extra arguments appended.
personWall() {
  /usr/bin/time -f "%e" -o "$work/time" "$tool" --in "$media/video/v10_h264_1080p30_people_zoom_pan.mp4" \
    --ss 0 --t 5 --mode person "$@" >/dev/null 2>&1
  cat "$work/time"
}
echo "== person 5 s written to a file, each against the raw stream run just before it (one pair each; pair several for a figure)"
for ext in webm mov; do
  raw=$(personWall)
  file=$(personWall --out "$work/out.$ext")
  echo "  $ext: $file s, raw stream $raw s: $(awk -v a="$file" -v b="$raw" 'BEGIN {printf "%.2f", a / b}') times"
done
