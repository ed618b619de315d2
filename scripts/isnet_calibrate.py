#!/usr/bin/python3
"""Measures the activation ranges that isnet_quantize.py gives the 8-bit IS-Net model, and
writes them as scripts/isnet_ranges.tsv (name, low, high; tab-separated).

Run it again only when the float model or its converter changes: the set-up reads the table
and never runs the network itself. The calibration pictures are the shared photos, stretched to
1024x1024 as the all-subjects route stretches a picture; the matting composites stay out of it,
since they are what the masks are judged on.

Each range is clipped at the 99.99th percentile of the values seen: the decoder's activations
are long-tailed (maxima near 600 where 99.99% of values lie under 30), and spreading 256 levels
over the tail loses more than clipping it (with the full ranges the masks' IoU falls to 0.2-0.8;
a squared-error-optimal clip, or the 99.9th or 99.999th percentile, move the masks further from
the float model's than the 99.99th).

The network's intermediate values come from ONNX Runtime, through the small C++ program
isnet_histograms.cpp, compiled here against the runtime the set-up fetched: a first pass over
the pictures finds each tensor's extremes, a second fills a histogram between them.

Needs g++, and Python 3 with python3-onnx, python3-numpy and python3-pil.

Usage: isnet_calibrate.py FP32.onnx PHOTO_DIR [RANGES.tsv]   (FP32.onnx as isnet_to_fp32.py makes it)
"""
import glob
import os
import subprocess
import sys
import tempfile

import numpy as np
import onnx
from onnx import TensorProto
from PIL import Image

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNTIME = os.path.join(ROOT, ".deps", "onnxruntime")
SIZE = 1024
BINS = 16384
PERCENTILE = 99.99


def expose_every_tensor(model_path, out_path):
    """A copy of the model whose every node output is also a graph output."""
    model = onnx.load(model_path)
    graph = model.graph
    present = {o.name for o in graph.output}
    for node in graph.node:
        for name in node.output:
            if name and name not in present:
                graph.output.append(onnx.helper.make_tensor_value_info(name, TensorProto.FLOAT, None))
                present.add(name)
    onnx.save(model, out_path)


def stretched_pictures(photo_dir, out_dir):
    paths = sorted(p for p in glob.glob(os.path.join(photo_dir, "*")) if p.lower().endswith((".png", ".jpg", ".jpeg")))
    if not paths:
        raise SystemExit(f"no pictures in {photo_dir}")
    raws = []
    for path in paths:
        raw = os.path.join(out_dir, os.path.basename(path) + ".rgb")
        with open(raw, "wb") as f:
            f.write(Image.open(path).convert("RGB").resize((SIZE, SIZE), Image.BILINEAR).tobytes())
        raws.append(raw)
    return raws


def histograms(model_path, raws, work):
    program = os.path.join(work, "histograms")
    lib = os.path.join(RUNTIME, "lib")
    subprocess.run(["g++", "-O2", "-std=c++20", os.path.join(ROOT, "scripts", "isnet_histograms.cpp"), "-o", program,
                    "-I" + os.path.join(RUNTIME, "include"), "-L" + lib, "-lonnxruntime", "-Wl,-rpath," + lib],
                   check=True)
    prefix = os.path.join(work, "histograms")
    subprocess.run([program, model_path, prefix, str(BINS), *raws], check=True)
    return prefix


def read_histograms(prefix):
    names = open(prefix + ".names").read().split("\n")[:-1]
    rows = np.fromfile(prefix + ".bin").reshape(len(names), -1)
    return {name: (row[0], row[1], row[2:]) for name, row in zip(names, rows)}


def clipped_range(lo, hi, counts):
    """From the PERCENTILE-th percentile below (for signed values) to the one above."""
    if not np.isfinite(lo) or counts.sum() == 0:
        return None
    edges = np.linspace(lo, hi, len(counts) + 1)
    share = PERCENTILE / 100
    cumulative = np.cumsum(counts) / counts.sum()
    top = edges[min(np.searchsorted(cumulative, share) + 1, len(counts))]
    bottom = lo if lo >= 0 else edges[np.searchsorted(cumulative, 1 - share)]
    return bottom, top


def write_ranges(stats, path):
    with open(path, "w") as f:
        f.write(f"# written by isnet_calibrate.py: activation ranges of IS-Net, {PERCENTILE}th percentiles\n")
        for name, (lo, hi, counts) in stats.items():
            r = clipped_range(lo, hi, counts)
            if r is not None:
                f.write(f"{name}\t{r[0]!r}\t{r[1]!r}\n")


def main():
    if len(sys.argv) not in (3, 4):
        raise SystemExit(__doc__)
    model, photos = sys.argv[1], sys.argv[2]
    out = sys.argv[3] if len(sys.argv) == 4 else os.path.join(ROOT, "scripts", "isnet_ranges.tsv")
    with tempfile.TemporaryDirectory() as work:
        exposed = os.path.join(work, "exposed.onnx")
        expose_every_tensor(model, exposed)
        prefix = histograms(exposed, stretched_pictures(photos, work), work)
        write_ranges(read_histograms(prefix), out)


if __name__ == "__main__":
    main()
