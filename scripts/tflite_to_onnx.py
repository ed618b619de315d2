#!/usr/bin/python3
"""Converts a small TFLite segmentation network to an ONNX model that ONNX Runtime can run.

The TFLite file is a FlatBuffer; it is read here directly, table by table and field by field
id, so no generated schema code is needed. Only the operators the person-segmentation
networks use are understood; anything else stops the conversion with its name.

TFLite lays activations out as NHWC, ONNX convolutions want NCHW: the whole graph is
rebuilt in NCHW, with weights transposed once here. The model's input becomes
`input` (1x3xHxW, RGB 0..1) and its output `mask` (1x1xHxW).

Usage: tflite_to_onnx.py IN.tflite OUT.onnx
"""
import sys

import numpy as np
import onnx
from flatbuffers import number_types as fb
from flatbuffers import table as fbtable
from flatbuffers import util as fbutil
from onnx import TensorProto, helper, numpy_helper

OPSET = 15  # HardSwish needs 14; ReduceMean still takes its axes as an attribute.


class Table:
    """A FlatBuffers table read by field id (vtable slot = 4 + 2 * id)."""

    def __init__(self, table):
        self.t = table

    @classmethod
    def root(cls, data):
        data = bytearray(data)
        return cls(fbtable.Table(data, fbutil.packer.uoffset.unpack_from(data, 0)[0]))

    def _slot(self, field):
        return self.t.Offset(4 + 2 * field)

    def scalar(self, field, flags, default=0):
        slot = self._slot(field)
        return self.t.Get(flags, self.t.Pos + slot) if slot else default

    def string(self, field):
        slot = self._slot(field)
        return self.t.String(self.t.Pos + slot).decode() if slot else None

    def numbers(self, field, flags):
        slot = self._slot(field)
        return self.t.GetVectorAsNumpy(flags, slot) if slot else np.zeros(0, fb.to_numpy_type(flags))

    def table(self, field):
        slot = self._slot(field)
        return Table(fbtable.Table(self.t.Bytes, self.t.Indirect(self.t.Pos + slot))) if slot else None

    def tables(self, field):
        slot = self._slot(field)
        if not slot:
            return []
        start = self.t.Vector(slot)
        return [Table(fbtable.Table(self.t.Bytes, self.t.Indirect(start + 4 * i)))
                for i in range(self.t.VectorLen(slot))]


# Field ids of the TFLite tables that are read.
MODEL_OPERATOR_CODES, MODEL_SUBGRAPHS, MODEL_BUFFERS = 1, 2, 4
CODE_DEPRECATED_BUILTIN, CODE_CUSTOM, CODE_BUILTIN = 0, 1, 3
GRAPH_TENSORS, GRAPH_INPUTS, GRAPH_OUTPUTS, GRAPH_OPERATORS = 0, 1, 2, 3
TENSOR_SHAPE, TENSOR_TYPE, TENSOR_BUFFER, TENSOR_NAME = 0, 1, 2, 3
BUFFER_DATA = 0
OP_CODE_INDEX, OP_INPUTS, OP_OUTPUTS, OP_OPTIONS, OP_CUSTOM_OPTIONS = 0, 1, 2, 4, 5

TENSOR_TYPES = {0: np.float32, 1: np.float16, 2: np.int32, 3: np.uint8, 4: np.int64, 9: np.int8}

ADD, AVERAGE_POOL_2D, CONV_2D, DEPTHWISE_CONV_2D, DEQUANTIZE = 0, 1, 3, 4, 6
LOGISTIC, MUL, RELU, RESIZE_BILINEAR, CUSTOM, MEAN, HARD_SWISH = 14, 18, 19, 23, 32, 40, 117

PADDING_SAME = 0                     # builtin options' Padding enum
CUSTOM_PADDING_SAME = 1              # the C struct of custom options counts from "unknown"
ACTIVATIONS = {0: None, 1: ("Relu", {}), 3: ("Clip", {"max": 6.0})}

NHWC_TO_NCHW_AXIS = {0: 0, 1: 2, 2: 3, 3: 1}


def same_padding(in_size, out_size, kernel, stride, dilation=1):
    total = max((out_size - 1) * stride + (kernel - 1) * dilation + 1 - in_size, 0)
    return total // 2, total - total // 2


class Converter:
    def __init__(self, data):
        model = Table.root(data)
        self.codes = [max(c.scalar(CODE_DEPRECATED_BUILTIN, fb.Int8Flags),
                          c.scalar(CODE_BUILTIN, fb.Int32Flags)) if not c.string(CODE_CUSTOM)
                      else c.string(CODE_CUSTOM)
                      for c in model.tables(MODEL_OPERATOR_CODES)]
        self.buffers = model.tables(MODEL_BUFFERS)
        subgraphs = model.tables(MODEL_SUBGRAPHS)
        if len(subgraphs) != 1:
            raise SystemExit(f"expected one subgraph, found {len(subgraphs)}")
        self.graph = subgraphs[0]
        self.tensors = self.graph.tables(GRAPH_TENSORS)
        self.constants = {}      # tensor index -> numpy array (TFLite layout)
        self.nodes, self.initializers = [], []
        self.names = {}

    # --- tensors -------------------------------------------------------------------------
    def shape(self, index):
        return [int(d) for d in self.tensors[index].numbers(TENSOR_SHAPE, fb.Int32Flags)]

    def name(self, index):
        if index not in self.names:
            raw = self.tensors[index].string(TENSOR_NAME) or "t"
            self.names[index] = f"{raw}#{index}"
        return self.names[index]

    def constant(self, index):
        if index in self.constants:
            return self.constants[index]
        tensor = self.tensors[index]
        data = self.buffers[tensor.scalar(TENSOR_BUFFER, fb.Uint32Flags)].numbers(BUFFER_DATA, fb.Uint8Flags)
        if data.size == 0:
            return None
        dtype = TENSOR_TYPES[tensor.scalar(TENSOR_TYPE, fb.Int8Flags)]
        return np.frombuffer(data.tobytes(), dtype).reshape(self.shape(index))

    def initializer(self, array, hint):
        name = f"{hint}/const{len(self.initializers)}"
        self.initializers.append(numpy_helper.from_array(np.ascontiguousarray(array), name))
        return name

    def operand(self, index):
        """An activation, or a constant reshaped so it broadcasts over NCHW as it did over NHWC."""
        value = self.constant(index)
        if value is None:
            return self.name(index)
        value = value.astype(np.float32)
        if value.ndim == 4:
            value = value.transpose(0, 3, 1, 2)
        elif value.ndim == 1 and value.size > 1:
            value = value.reshape(1, -1, 1, 1)
        return self.initializer(value, self.name(index))

    # --- nodes ---------------------------------------------------------------------------
    def emit(self, op, inputs, output_index, activation=0, **attrs):
        output = self.name(output_index)
        fused = ACTIVATIONS.get(activation, "unknown")
        if fused == "unknown":
            raise SystemExit(f"unsupported fused activation {activation} on {output}")
        if fused is None:
            self.nodes.append(helper.make_node(op, inputs, [output], **attrs))
            return
        self.nodes.append(helper.make_node(op, inputs, [output + "/pre"], **attrs))
        kind, extra = fused
        act_inputs = [output + "/pre"]
        if kind == "Clip":
            act_inputs += [self.initializer(np.float32(0), output), self.initializer(np.float32(extra["max"]), output)]
        self.nodes.append(helper.make_node(kind, act_inputs, [output]))

    def conv_pads(self, inputs, output, kernel, strides, dilations, same):
        (_, in_h, in_w, _), (_, out_h, out_w, _) = self.shape(inputs[0]), self.shape(output)
        if not same:
            return [0, 0, 0, 0]
        top, bottom = same_padding(in_h, out_h, kernel[0], strides[0], dilations[0])
        left, right = same_padding(in_w, out_w, kernel[1], strides[1], dilations[1])
        return [top, left, bottom, right]

    def convolution(self, inputs, output, options, depthwise):
        weights = self.constant(inputs[1]).astype(np.float32)
        if depthwise:   # [1, kh, kw, C*m] -> [C*m, 1, kh, kw], one group per input channel
            group = self.shape(inputs[0])[3]
            weights = weights.transpose(3, 0, 1, 2)
            dilation_ids, activation_id = (5, 6), 4
        else:           # [O, kh, kw, I] -> [O, I, kh, kw]
            group = 1
            weights = weights.transpose(0, 3, 1, 2)
            dilation_ids, activation_id = (4, 5), 3
        strides = [options.scalar(2, fb.Int32Flags), options.scalar(1, fb.Int32Flags)]
        dilations = [options.scalar(dilation_ids[1], fb.Int32Flags, 1), options.scalar(dilation_ids[0], fb.Int32Flags, 1)]
        kernel = list(weights.shape[2:])
        pads = self.conv_pads(inputs, output, kernel, strides, dilations,
                              options.scalar(0, fb.Int8Flags) == PADDING_SAME)
        operands = [self.name(inputs[0]), self.initializer(weights, self.name(output))]
        if len(inputs) > 2 and inputs[2] >= 0:
            operands.append(self.initializer(self.constant(inputs[2]).astype(np.float32), self.name(output)))
        self.emit("Conv", operands, output, options.scalar(activation_id, fb.Int8Flags),
                  kernel_shape=kernel, strides=strides, dilations=dilations, pads=pads, group=group)

    def transposed_convolution(self, inputs, output, custom):
        # Custom options are a raw C struct: padding, stride_w, stride_h (int32 each).
        padding, stride_w, stride_h = np.frombuffer(custom.tobytes(), np.int32)[:3]
        weights = self.constant(inputs[1]).astype(np.float32)   # [O, kh, kw, I]
        kernel = list(weights.shape[1:3])
        (_, in_h, in_w, _), (_, out_h, out_w, _) = self.shape(inputs[0]), self.shape(output)
        pads = [0, 0, 0, 0]
        if padding == CUSTOM_PADDING_SAME:
            # The padding of the forward convolution that maps the output back to the input.
            top, bottom = same_padding(out_h, in_h, kernel[0], stride_h)
            left, right = same_padding(out_w, in_w, kernel[1], stride_w)
            pads = [top, left, bottom, right]
        full_h = (in_h - 1) * stride_h + kernel[0] - pads[0] - pads[2]
        full_w = (in_w - 1) * stride_w + kernel[1] - pads[1] - pads[3]
        operands = [self.name(inputs[0]),
                    self.initializer(weights.transpose(3, 0, 1, 2), self.name(output)),
                    self.initializer(self.constant(inputs[2]).astype(np.float32), self.name(output))]
        self.emit("ConvTranspose", operands, output, kernel_shape=kernel,
                  strides=[int(stride_h), int(stride_w)], pads=pads,
                  output_padding=[out_h - full_h, out_w - full_w])

    def pool(self, inputs, output, options):
        (_, in_h, in_w, _), (_, out_h, out_w, _) = self.shape(inputs[0]), self.shape(output)
        strides = [options.scalar(2, fb.Int32Flags), options.scalar(1, fb.Int32Flags)]
        kernel = [options.scalar(4, fb.Int32Flags), options.scalar(3, fb.Int32Flags)]
        if kernel == [in_h, in_w] and (out_h, out_w) == (1, 1):
            self.emit("GlobalAveragePool", [self.name(inputs[0])], output, options.scalar(5, fb.Int8Flags))
            return
        pads = self.conv_pads(inputs, output, kernel, strides, [1, 1], options.scalar(0, fb.Int8Flags) == PADDING_SAME)
        self.emit("AveragePool", [self.name(inputs[0])], output, options.scalar(5, fb.Int8Flags),
                  kernel_shape=kernel, strides=strides, pads=pads, count_include_pad=0)

    def mean(self, inputs, output, options):
        axes = sorted(NHWC_TO_NCHW_AXIS[int(a) % 4] for a in self.constant(inputs[1]).reshape(-1))
        self.emit("ReduceMean", [self.name(inputs[0])], output, axes=axes,
                  keepdims=int(options.scalar(0, fb.BoolFlags, False)))

    def resize(self, inputs, output, options):
        align_corners = options.scalar(2, fb.BoolFlags, False)
        half_pixel = options.scalar(3, fb.BoolFlags, False)
        mode = "align_corners" if align_corners else "half_pixel" if half_pixel else "asymmetric"
        n, h, w, c = self.shape(output)
        sizes = self.initializer(np.array([n, c, h, w], np.int64), self.name(output))
        self.emit("Resize", [self.name(inputs[0]), "", "", sizes], output,
                  mode="linear", coordinate_transformation_mode=mode)

    def operator(self, op):
        code = self.codes[op.scalar(OP_CODE_INDEX, fb.Uint32Flags)]
        inputs = [int(i) for i in op.numbers(OP_INPUTS, fb.Int32Flags)]
        outputs = [int(i) for i in op.numbers(OP_OUTPUTS, fb.Int32Flags)]
        output = outputs[0]
        options = op.table(OP_OPTIONS)
        if code == DEQUANTIZE:
            value = self.constant(inputs[0])
            if value is None:
                raise SystemExit(f"DEQUANTIZE of an activation ({self.name(inputs[0])}) is not supported")
            self.constants[output] = value.astype(np.float32)
        elif code in (CONV_2D, DEPTHWISE_CONV_2D):
            self.convolution(inputs, output, options, depthwise=code == DEPTHWISE_CONV_2D)
        elif code == "Convolution2DTransposeBias":
            self.transposed_convolution(inputs, output, op.numbers(OP_CUSTOM_OPTIONS, fb.Uint8Flags))
        elif code == AVERAGE_POOL_2D:
            self.pool(inputs, output, options)
        elif code == MEAN:
            self.mean(inputs, output, options)
        elif code in (ADD, MUL):
            activation = options.scalar(0, fb.Int8Flags) if options else 0
            self.emit("Add" if code == ADD else "Mul", [self.operand(i) for i in inputs], output, activation)
        elif code == RESIZE_BILINEAR:
            self.resize(inputs, output, options)
        elif code in (RELU, LOGISTIC, HARD_SWISH):
            self.emit({RELU: "Relu", LOGISTIC: "Sigmoid", HARD_SWISH: "HardSwish"}[code],
                      [self.name(inputs[0])], output)
        else:
            raise SystemExit(f"unsupported TFLite operator {code}")

    def convert(self):
        (input_index,) = [int(i) for i in self.graph.numbers(GRAPH_INPUTS, fb.Int32Flags)]
        (output_index,) = [int(i) for i in self.graph.numbers(GRAPH_OUTPUTS, fb.Int32Flags)]
        self.names[input_index], self.names[output_index] = "input", "mask"
        for op in self.graph.tables(GRAPH_OPERATORS):
            self.operator(op)
        n, h, w, c = self.shape(input_index)
        on, oh, ow, oc = self.shape(output_index)
        graph = helper.make_graph(
            self.nodes, "person_segmentation",
            [helper.make_tensor_value_info("input", TensorProto.FLOAT, [n, c, h, w])],
            [helper.make_tensor_value_info("mask", TensorProto.FLOAT, [on, oc, oh, ow])],
            self.initializers)
        model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                                  producer_name="quelm-matte tflite_to_onnx")
        model.ir_version = 8
        onnx.checker.check_model(model, full_check=True)
        self.check_shapes(model)
        return model

    def check_shapes(self, model):
        """Every activation must have the TFLite tensor's shape in NCHW order: a wrong padding,
        stride or weight layout shows here rather than as a slightly worse mask."""
        inferred = onnx.shape_inference.infer_shapes(model, strict_mode=True).graph
        shapes = {v.name: [d.dim_value for d in v.type.tensor_type.shape.dim]
                  for v in list(inferred.value_info) + list(inferred.output)}
        for index, name in self.names.items():
            nhwc = self.shape(index)
            if name in shapes and len(nhwc) == 4 and shapes[name] != [nhwc[i] for i in (0, 3, 1, 2)]:
                raise SystemExit(f"{name}: converted shape {shapes[name]} differs from TFLite {nhwc}")


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    with open(sys.argv[1], "rb") as source:
        model = Converter(source.read()).convert()
    onnx.save(model, sys.argv[2])


if __name__ == "__main__":
    main()
