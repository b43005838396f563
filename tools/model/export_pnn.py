#!/usr/bin/python3
"""Writes the trained network as a PNN1 model file, the format the plug-in embeds.

Layout (little-endian, no padding):
    "PNN1"                      magic; version '1' means 45 outputs for MIDI 40..84
    u32 L                       layer count
    L times:
        u32 n, n ASCII bytes    kind: conv2d, relu, maxpool2d, flatten_freq, conv1d
        u32 p, p x i32          parameters
        u64 w, w x f32          weights
    conv2d  params in, out, kernelH (freq), kernelW (time), padH, padW;
            weights out*in*kh*kw kernel values in (out, in, kh, kw) order, then out biases
    conv1d  params in, out, kernel, padding; weights out*in*k in (out, in, tap) order, then biases
    maxpool2d params poolF, poolT; relu and flatten_freq have neither params nor weights

    export_pnn.py CHECKPOINT [-o resources/universal_aug.pnn]
"""

import argparse
import os
import struct
import sys

import numpy as np
import torch
from torch import nn

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from model import FlattenFreq, NoteNet  # noqa: E402

MAGIC = b"PNN1"
DEFAULT_OUT = os.path.normpath(os.path.join(HERE, "..", "..", "resources", "universal_aug.pnn"))


def pair(v):
    return tuple(v) if isinstance(v, (tuple, list)) else (v, v)


def layer_record(layer):
    """(kind, params, weights as float32 array) of one PyTorch layer."""
    if isinstance(layer, nn.Conv2d):
        if layer.stride != (1, 1) or layer.dilation != (1, 1) or layer.groups != 1:
            raise ValueError("conv2d: only stride 1, dilation 1, groups 1 can be stored")
        kh, kw = layer.kernel_size
        ph, pw = pair(layer.padding)
        params = [layer.in_channels, layer.out_channels, kh, kw, ph, pw]
        weights = [layer.weight, layer.bias]
        kind = "conv2d"
    elif isinstance(layer, nn.Conv1d):
        if layer.stride != (1,) or layer.dilation != (1,) or layer.groups != 1:
            raise ValueError("conv1d: only stride 1, dilation 1, groups 1 can be stored")
        params = [layer.in_channels, layer.out_channels, layer.kernel_size[0], layer.padding[0]]
        weights = [layer.weight, layer.bias]
        kind = "conv1d"
    elif isinstance(layer, nn.ReLU):
        kind, params, weights = "relu", [], []
    elif isinstance(layer, nn.MaxPool2d):
        kf, kt = pair(layer.kernel_size)
        if pair(layer.stride) != (kf, kt) or pair(layer.padding) != (0, 0) or layer.ceil_mode:
            raise ValueError("maxpool2d: only stride = kernel, no padding, floor mode")
        kind, params, weights = "maxpool2d", [kf, kt], []
    elif isinstance(layer, FlattenFreq):
        kind, params, weights = "flatten_freq", [], []
    else:
        raise ValueError("no PNN1 kind for %s" % type(layer).__name__)
    flat = [t.detach().cpu().numpy().astype("<f4").ravel() for t in weights]
    return kind, params, np.concatenate(flat) if flat else np.zeros(0, dtype="<f4")


def pnn_bytes(layers):
    """The whole file for an iterable of PyTorch layers, in order."""
    layers = list(layers)
    out = [MAGIC, struct.pack("<I", len(layers))]
    for layer in layers:
        kind, params, weights = layer_record(layer)
        name = kind.encode("ascii")
        out += [struct.pack("<I", len(name)), name,
                struct.pack("<I", len(params)), struct.pack("<%di" % len(params), *params),
                struct.pack("<Q", len(weights)), weights.tobytes()]
    return b"".join(out)


def load_checkpoint(path):
    """NoteNet with the weights of a train.py checkpoint (best.pt or last.pt), in eval mode."""
    model = NoteNet()
    model.load_state_dict(torch.load(path, map_location="cpu")["model"])
    return model.eval()


def main(argv=None):
    p = argparse.ArgumentParser(description="Write a trained checkpoint as a PNN1 model file.")
    p.add_argument("checkpoint")
    p.add_argument("-o", "--out", default=DEFAULT_OUT)
    args = p.parse_args(argv)
    data = pnn_bytes(load_checkpoint(args.checkpoint).layers)
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "wb") as f:
        f.write(data)
    print("wrote %s: %d bytes" % (args.out, len(data)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
