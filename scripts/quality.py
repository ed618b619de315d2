#!/usr/bin/python3
"""Mask quality on the shared matting composites, as a table.

For each ../shared/media/matting/*/composite.png the tool cuts the subject out
(quelm-matte --image composite.png --out X.png --erode 0 --feather 0 --decontaminate 0
[--mode person] plus any --extra options) and the output's alpha is compared with alpha.png:

  IoU     of output alpha >= 0.5 against true alpha >= 0.5
  recall  share of the true subject (alpha >= 0.5) that the output covers at 0.5
  MAE     mean absolute alpha error over the whole picture (0..1)
  fringe  where the true alpha is strictly between 0 and 1 and the output's is not 0: mean
          RGB distance (8-bit units) between the output's straight colour and fg.png

--outputs DIR reads DIR/<case>.png instead of running the tool (any PNG whose last band is
the alpha, or a gray mask; fringe is then shown only for RGBA files).

With --mode person only the composites with a person are measured, and m12's kangaroo is
left out of both masks (its layer rectangle is ignored).
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

import numpy as np
from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
MATTING = os.path.join(HERE, "..", "..", "shared", "media", "matting")
# Person route: which composites show a person, and which layers (meta.json order) are not one.
PERSON_CASES = {"m01_person_firefighter_lakeshore": [], "m12_two_subjects_person_and_kangaroo": [0]}


def load(path):
    return np.asarray(Image.open(path))


def cut(tool, composite, out, mode, extra):
    command = [tool, "--image", composite, "--out", out, "--erode", "0", "--feather", "0",
               "--decontaminate", "0"] + (["--mode", mode] if mode else []) + extra
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed ({result.returncode}): {result.stderr.strip()}")


def ignored_region(case_dir, layers):
    """A boolean mask of the pixels inside the given layers' rectangles."""
    with open(os.path.join(case_dir, "meta.json")) as meta_file:
        meta = json.load(meta_file)
    width, height = meta["size"]
    ignored = np.zeros((height, width), bool)
    for index in layers:
        layer = meta["layers"][index]
        ignored[max(layer["y"], 0):layer["y"] + layer["h"], max(layer["x"], 0):layer["x"] + layer["w"]] = True
    return ignored


def measure(output, case_dir, ignored):
    true_alpha = load(os.path.join(case_dir, "alpha.png")).astype(np.float64) / 255
    if output.shape[:2] != true_alpha.shape:
        raise SystemExit(f"{case_dir}: output is {output.shape[1]}x{output.shape[0]}, "
                         f"truth {true_alpha.shape[1]}x{true_alpha.shape[0]}")
    alpha = (output[..., -1] if output.ndim == 3 else output).astype(np.float64) / 255
    keep = ~ignored
    truth, found = (true_alpha >= 0.5) & keep, (alpha >= 0.5) & keep
    union = (truth | found).sum()
    row = {"iou": (truth & found).sum() / union if union else 1.0,
           "recall": (truth & found).sum() / truth.sum() if truth.sum() else 1.0,
           "mae": np.abs(alpha - true_alpha)[keep].mean(),
           "fringe": None}
    if output.ndim == 3 and output.shape[2] == 4:
        band = (true_alpha > 0) & (true_alpha < 1) & (alpha > 0) & keep
        if band.any():
            fg = load(os.path.join(case_dir, "fg.png"))[..., :3].astype(np.float64)
            distance = np.linalg.norm(output[..., :3].astype(np.float64) - fg, axis=-1)
            row["fringe"] = distance[band].mean()
    return row


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", default=os.path.join(HERE, "..", "build", "quelm-matte"))
    parser.add_argument("--mode", choices=["person"], help="the tool's --mode (default: all subjects)")
    parser.add_argument("--extra", default="", help="further tool options, one string")
    parser.add_argument("--outputs", help="read DIR/<case>.png instead of running the tool")
    parser.add_argument("--matting", default=MATTING, help="the matting composites' folder")
    args = parser.parse_args()

    cases = sorted(d for d in os.listdir(args.matting) if os.path.isdir(os.path.join(args.matting, d)))
    if args.mode == "person":
        cases = [c for c in cases if c in PERSON_CASES]
    print(f"{'case':44} {'IoU':>6} {'recall':>7} {'MAE':>7} {'fringe':>7}")
    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        for case in cases:
            case_dir = os.path.join(args.matting, case)
            if args.outputs:
                out = os.path.join(args.outputs, case + ".png")
            else:
                out = os.path.join(scratch, case + ".png")
                cut(args.tool, os.path.join(case_dir, "composite.png"), out, args.mode, args.extra.split())
            ignored = ignored_region(case_dir, PERSON_CASES.get(case, []) if args.mode == "person" else [])
            row = measure(load(out), case_dir, ignored)
            rows.append(row)
            fringe = f"{row['fringe']:7.2f}" if row["fringe"] is not None else f"{'-':>7}"
            print(f"{case:44} {row['iou']:6.3f} {row['recall']:7.3f} {row['mae']:7.4f} {fringe}")
    if rows:
        print(f"{'mean':44} {np.mean([r['iou'] for r in rows]):6.3f} "
              f"{np.mean([r['recall'] for r in rows]):7.3f} {np.mean([r['mae'] for r in rows]):7.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
