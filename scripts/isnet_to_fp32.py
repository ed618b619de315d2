#!/usr/bin/python3
"""Turns the half-precision IS-Net model into a single-precision one with only its main output.

ONNX Runtime's CPU kernels compute in fp32: run as it is, the fp16 model spends its time in
conversions (about 2.4 s against 1.5 s at 1024x1024 on two cores). Every FLOAT16 weight and
constant becomes FLOAT, the Cast nodes that then convert float to float are dropped, and the
side outputs used only in training are pruned.

The export also froze the 1024x1024 training size into the graph: every upsampling step
resizes to a constant height and width. Each becomes a doubling (which is what it means), and
height and width become free dimensions, so the model runs at any size that is a multiple of 64.

Usage: isnet_to_fp32.py IN.onnx OUT.onnx
"""
import sys

import numpy as np
import onnx
from onnx import TensorProto, numpy_helper

MAIN_OUTPUT = "output"
FLOATS = (TensorProto.FLOAT, TensorProto.FLOAT16)


def widen(tensor):
    if tensor.data_type != TensorProto.FLOAT16:
        return tensor
    wide = numpy_helper.from_array(numpy_helper.to_array(tensor).astype(np.float32), tensor.name)
    tensor.CopyFrom(wide)
    return tensor


def widen_constants(graph):
    for initializer in graph.initializer:
        widen(initializer)
    for node in graph.node:
        for attribute in node.attribute:
            if attribute.type == onnx.AttributeProto.TENSOR:
                widen(attribute.t)


def float_tensors(model):
    """Names of the tensors whose element type is float of either width."""
    inferred = onnx.shape_inference.infer_shapes(model).graph
    values = list(inferred.value_info) + list(inferred.input) + list(inferred.output)
    names = {v.name for v in values if v.type.tensor_type.elem_type in FLOATS}
    names |= {t.name for t in inferred.initializer if t.data_type in FLOATS}
    return names


def drop_float_casts(graph, floats):
    """Removes each Cast from float to float, wiring its consumers to its input."""
    graph_outputs = {o.name for o in graph.output}
    renames, kept = {}, []
    for node in graph.node:
        if node.op_type == "Cast" and node.input[0] in floats and \
                onnx.helper.get_attribute_value(node.attribute[0]) in FLOATS:
            source, target = node.input[0], node.output[0]
            if target in graph_outputs:   # keep the graph's output name: rename the producer's
                renames[source] = target
            else:
                renames[target] = source
            continue
        kept.append(node)

    def resolve(name):
        while name in renames:
            name = renames[name]
        return name

    for node in kept:
        node.input[:] = [resolve(n) for n in node.input]
        node.output[:] = [resolve(n) for n in node.output]
    del graph.node[:]
    graph.node.extend(kept)


def double_each_resize(graph):
    """Makes each Resize a fixed doubling of height and width instead of a resize to the
    exported constant size.

    Every upsampling step in IS-Net undoes one halving (a stride-2 convolution or a 2x2 pool),
    so at any input size that is a multiple of 64 each one exactly doubles. Given as constant
    scales rather than computed sizes, the runtime can also keep the upsampling in its blocked
    channel layout, where a computed size makes it convert every such tensor out and back."""
    graph.initializer.append(numpy_helper.from_array(np.array([1, 1, 2, 2], np.float32), "doubling"))
    for node in [n for n in graph.node if n.op_type == "Resize"]:
        node.input[:] = [node.input[0], "", "doubling"]


def keep_only(graph, output):
    """Prunes every node and weight that does not lead to the given output."""
    (main,) = [o for o in graph.output if o.name == output]
    needed, kept = {output}, []
    for node in reversed(graph.node):
        if any(o in needed for o in node.output):
            kept.append(node)
            needed.update(i for i in node.input if i)
    del graph.node[:]
    graph.node.extend(reversed(kept))
    weights = [t for t in graph.initializer if t.name in needed]
    del graph.initializer[:]
    graph.initializer.extend(weights)
    del graph.output[:]
    graph.output.append(main)


def free_spatial_dims(graph):
    for value in list(graph.input) + list(graph.output):
        dims = value.type.tensor_type.shape.dim
        dims[2].dim_param, dims[3].dim_param = "height", "width"


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    model = onnx.load(sys.argv[1])
    floats = float_tensors(model)
    graph = model.graph
    widen_constants(graph)
    drop_float_casts(graph, floats)
    double_each_resize(graph)
    keep_only(graph, MAIN_OUTPUT)
    del graph.value_info[:]          # recorded with the old element types
    free_spatial_dims(graph)
    leftovers = [n.name or n.output[0] for n in graph.node if n.op_type == "Cast"]
    if leftovers:
        raise SystemExit(f"casts left after conversion: {leftovers[:5]}")
    onnx.checker.check_model(model, full_check=True)
    onnx.save(model, sys.argv[2])


if __name__ == "__main__":
    main()
