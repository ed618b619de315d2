#!/usr/bin/python3
"""Makes the 8-bit IS-Net model from the single-precision one.

On two cores the float model's convolutions already run near the processor's peak, about 1.6 s
at 1024x1024; in 8 bits the same network takes about 0.5 s, and its masks move little (IoU on
the matting composites within 0.005). The quantization is static: every activation between
quantized operators gets a fixed scale from the ranges that isnet_calibrate.py measured once
over the shared photos (isnet_ranges.tsv), and passes through a QuantizeLinear and
DequantizeLinear pair. ONNX Runtime recognises those pairs and runs the convolutions, additions
and concatenations on 8-bit data.

- Weights: int8, symmetric, one scale per output channel; biases int32 at the input's scale
  times the weight's.
- Activations: uint8, one scale per tensor. With int8 ones ONNX Runtime on x86 fuses only some
  of the convolutions and runs the rest in float on dequantized data, slower than the float
  model. A ReLU's range starts at 0 (zero point 0), so the pair after it vanishes into its
  convolution.
- MaxPool and Resize only select or blend values: their output shares the input's scale. So do
  a concatenation's inputs and output (the widest of their ranges), which then only copies bytes.
- The last convolution (64 channels to the single map of logits) stays in float: it is cheap,
  and 256 levels of logit would step the mask near 0.5.

Usage: isnet_quantize.py FP32.onnx RANGES.tsv OUT.onnx
"""
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

LAST_CONV_WEIGHT = "side1.weight"
MOVERS = ("MaxPool", "Resize")       # output values are copies or blends of input values
COMBINERS = ("Concat", "Add")
PICTURE_RANGE = (-0.5, 0.5)          # value/255 - 0.5: 256 exact levels


def read_ranges(path):
    ranges = {}
    for line in open(path):
        if line.startswith("#") or not line.strip():
            continue
        name, lo, hi = line.rstrip("\n").split("\t")
        ranges[name] = (float(lo), float(hi))
    return ranges


class Quantizer:
    def __init__(self, model, measured):
        self.graph, self.measured = model.graph, measured
        self.params = {}                 # activation -> (scale name, zero point name)
        self.constants = []
        g = self.graph
        self.inits = {t.name: t for t in g.initializer}
        self.producer = {o: n for n in g.node for o in n.output}
        self.consumers = {}
        for n in g.node:
            for i in n.input:
                self.consumers.setdefault(i, []).append(n)

    def constant(self, name, array):
        self.constants.append(numpy_helper.from_array(array, name))
        return name

    def feeds_relu(self, tensor):
        return any(c.op_type == "Relu" for c in self.consumers.get(tensor, []))

    def is_quantized(self, node):
        if node.op_type == "Conv":
            return node.input[1] != LAST_CONV_WEIGHT
        if node.op_type in MOVERS:
            return self.leaves_quantized(node.input[0])
        return node.op_type in COMBINERS

    def leaves_quantized(self, tensor):
        """Whether the tensor comes out of a quantized operator (a ReLU counts as its
        convolution's)."""
        p = self.producer.get(tensor)
        if p is None:
            return False
        if p.op_type == "Relu":
            return self.is_quantized(self.producer[p.input[0]])
        if p.op_type == "Conv" and self.feeds_relu(tensor):
            return False                 # quantized after its ReLU instead
        return self.is_quantized(p)

    def activation_ranges(self):
        """The range each quantized activation would have on its own."""
        g = self.graph
        ranges = {}
        candidates = [g.input[0].name] + [n.output[0] for n in g.node]
        for t in candidates:
            p = self.producer.get(t)
            if t == g.output[0].name or (p is not None and p.op_type == "Conv" and self.feeds_relu(t)):
                continue
            if not (any(self.is_quantized(c) for c in self.consumers.get(t, [])) or self.leaves_quantized(t)):
                continue
            if p is None:
                ranges[t] = PICTURE_RANGE
            elif p.op_type not in MOVERS:
                if t not in self.measured:
                    raise SystemExit(f"no measured range for {t}: the ranges are for another model")
                ranges[t] = self.measured[t]
        return ranges

    def shared_scales(self, ranges):
        """One scale per group of tensors that must share it."""
        group = {t: t for t in ranges}

        def root(t):
            while group[t] != t:
                group[t] = group[group[t]]
                t = group[t]
            return t

        def join(a, b):
            group.setdefault(a, a)
            group.setdefault(b, b)
            group[root(a)] = root(b)

        for n in self.graph.node:
            if not self.is_quantized(n):
                continue
            if n.op_type in MOVERS:
                join(n.output[0], n.input[0])
            if n.op_type == "Concat":
                for i in n.input:
                    join(i, n.output[0])
        members = {}
        for t in group:
            members.setdefault(root(t), []).append(t)
        for head, names in members.items():
            lo = min(ranges[t][0] for t in names if t in ranges)
            hi = max(ranges[t][1] for t in names if t in ranges)
            params = self.activation_params(head, lo, hi)
            for t in names:
                self.params[t] = params

    def activation_params(self, name, lo, hi):
        lo, hi = min(lo, 0.0), max(hi, 1e-6)
        scale = np.float32((hi - lo) / 255)
        zero = int(np.clip(round(-lo / scale), 0, 255))
        key = name.replace("/", "_")
        return (self.constant(key + "_scale", np.array(scale, np.float32)),
                self.constant(key + "_zero", np.array(zero, np.uint8)))

    def run(self):
        g = self.graph
        self.shared_scales(self.activation_ranges())
        nodes = []
        for t in [i.name for i in g.input]:
            if t in self.params:
                nodes.append(helper.make_node("QuantizeLinear", [t, *self.params[t]], [t + "_q"]))
        uses = 0
        for n in g.node:
            for k, t in enumerate(n.input):
                if t in self.params:
                    # a dequantization of its own for every use, as the runtime's fusions expect
                    uses += 1
                    out = f"{t}_dq{uses}"
                    nodes.append(helper.make_node("DequantizeLinear", [t + "_q", *self.params[t]], [out]))
                    n.input[k] = out
            if n.op_type == "Conv" and self.is_quantized(n):
                self.quantize_weights(n, nodes)
            nodes.append(n)
            for t in n.output:
                if t in self.params:
                    nodes.append(helper.make_node("QuantizeLinear", [t, *self.params[t]], [t + "_q"]))
        del g.node[:]
        g.node.extend(nodes)
        used = {i for n in g.node for i in n.input}
        kept = [t for t in g.initializer if t.name in used]
        del g.initializer[:]
        g.initializer.extend(kept + [t for t in self.constants if t.name in used])

    def quantize_weights(self, conv, nodes):
        w_name = conv.input[1]
        w = numpy_helper.to_array(self.inits[w_name]).astype(np.float64)
        scale = np.maximum(np.abs(w.reshape(w.shape[0], -1)).max(axis=1) / 127, 1e-12).astype(np.float32)
        q = np.clip(np.round(w / scale.reshape(-1, 1, 1, 1)), -127, 127).astype(np.int8)
        conv.input[1] = self.dequantized(w_name, q, scale, np.int8, nodes)
        if len(conv.input) > 2 and conv.input[2]:
            b_name = conv.input[2]
            in_scale = self.scale_of(self.params[conv.input[0].rsplit("_dq", 1)[0]][0])
            b_scale = (scale.astype(np.float64) * float(in_scale)).astype(np.float32)
            b = numpy_helper.to_array(self.inits[b_name]).astype(np.float64)
            conv.input[2] = self.dequantized(b_name, np.round(b / b_scale).astype(np.int32), b_scale, np.int32, nodes)

    def dequantized(self, name, values, scale, dtype, nodes):
        key = name.replace("/", "_").replace(":", "_")
        self.constant(key + "_q", values)
        self.constant(key + "_scale", scale)
        self.constant(key + "_zero", np.zeros(values.shape[0], dtype))
        nodes.append(helper.make_node("DequantizeLinear", [key + "_q", key + "_scale", key + "_zero"],
                                      [key + "_dq"], axis=0))
        return key + "_dq"

    def scale_of(self, scale_name):
        return next(numpy_helper.to_array(t) for t in self.constants if t.name == scale_name)


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    model = onnx.load(sys.argv[1])
    Quantizer(model, read_ranges(sys.argv[2])).run()
    onnx.checker.check_model(model)
    onnx.save(model, sys.argv[3])


if __name__ == "__main__":
    main()
