#!/usr/bin/python3
"""Turns the half-precision IS-Net model into a single-precision one with only its main output.

ONNX Runtime's CPU kernels compute in fp32: run as it is, the fp16 model spends its time in
conversions (about 2.4 s against 1.5 s at 1024x1024 on two cores). Every FLOAT16 weight and
constant becomes FLOAT, the Cast nodes that then convert float to float are dropped, and the
side outputs used only in training are pruned.

The export also froze the 1024x1024 training size into the graph: every upsampling step
resizes to a constant height and width, where the network means "the size of the skip
connection it is joined with" (or of the input, for the final mask). Those constants are
replaced by the target tensor's own shape, and height and width become free dimensions, so
the model runs at any size that is a multiple of 64.

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


def resize_to_targets(graph):
    """Makes each Resize take its spatial size from the tensor it is concatenated with (or from
    the graph's input when it feeds no Concat) instead of the exported constant."""
    producers = {o: n for n in graph.node for o in n.output}
    consumers = {}
    for node in graph.node:
        for name in node.input:
            consumers.setdefault(name, []).append(node)
    graph.initializer.extend([numpy_helper.from_array(np.array([v], np.int64), f"spatial_{k}")
                              for k, v in (("start", 2), ("end", 4), ("axis", 0))])
    added = []
    for node in [n for n in graph.node if n.op_type == "Resize"]:
        sizes = producers[node.input[3]]
        constants = [i for i, name in enumerate(sizes.input)
                     if name in producers and producers[name].op_type == "Constant"]
        if sizes.op_type != "Concat" or len(constants) != 1:
            raise SystemExit(f"{node.name}: sizes are not batch and channels joined with a constant")
        joins = [c for c in consumers.get(node.output[0], []) if c.op_type == "Concat"]
        if joins:
            (target,) = [name for name in joins[0].input if name != node.output[0]]
        else:
            target = graph.input[0].name
        shape, spatial = f"{node.name}/target_shape", f"{node.name}/target_size"
        added += [onnx.helper.make_node("Shape", [target], [shape]),
                  onnx.helper.make_node("Slice", [shape, "spatial_start", "spatial_end", "spatial_axis"], [spatial])]
        sizes.input[constants[0]] = spatial
    graph.node.extend(added)
    topological_order(graph)


def topological_order(graph):
    known = {i.name for i in graph.input} | {t.name for t in graph.initializer} | {""}
    pending, ordered = list(graph.node), []
    while pending:
        waiting = []
        for node in pending:
            if all(name in known for name in node.input):
                ordered.append(node)
                known.update(node.output)
            else:
                waiting.append(node)
        if len(waiting) == len(pending):
            raise SystemExit("the graph has a cycle or an undefined input")
        pending = waiting
    del graph.node[:]
    graph.node.extend(ordered)


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
    resize_to_targets(graph)
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
