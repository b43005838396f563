#!/usr/bin/python3
"""Reads a PNN1 model file back, checks every field, rebuilds the network in PyTorch and
compares it with the trained checkpoint on real features.

Checks: magic, layer count, kind names (known, ASCII, at most 64 bytes), parameter counts and
values per kind, weight counts against the parameters, that the layers chain (channels and
frequency rows from 1 x 2049 down to 45 outputs, flatten_freq's C*H equal to the next conv1d's
input) and that the file ends right after the last layer.

    pnn_reader.py resources/universal_aug.pnn --checkpoint CKPT --wav FILE.wav
prints the layer table and the largest absolute logit difference between the file's network
and the checkpoint over every frame of the WAV; exits with status 1 if it is 1e-4 or more.
With --dump CSV it also writes the file network's logits for every frame of the WAV (frame k
decides the window centred at sample k*1024 + 2048; silence before the signal).
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
import decision  # noqa: E402
import features  # noqa: E402
from model import FlattenFreq  # noqa: E402

MAGIC = b"PNN1"
MAX_NAME = 64
MAX_PARAMS = 32
# Parameter count of each kind, and the checks on its values.
PARAM_COUNTS = {"conv2d": 6, "conv1d": 4, "relu": 0, "maxpool2d": 2, "flatten_freq": 0}
TOLERANCE = 1e-4


class PnnError(ValueError):
    pass


class Layer:
    def __init__(self, kind, params, weights):
        self.kind, self.params, self.weights = kind, params, weights

    def __repr__(self):
        return "%-12s %-22s %d weights" % (self.kind, ",".join(map(str, self.params)),
                                           len(self.weights))


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, n, what):
        if n < 0 or self.pos + n > len(self.data):
            raise PnnError("file ends inside %s (offset %d, %d bytes wanted, %d left)"
                           % (what, self.pos, n, len(self.data) - self.pos))
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def u32(self, what):
        return struct.unpack("<I", self.take(4, what))[0]

    def u64(self, what):
        return struct.unpack("<Q", self.take(8, what))[0]


def expected_weights(kind, params):
    if kind == "conv2d":
        cin, cout, kh, kw = params[:4]
        return cout * cin * kh * kw + cout
    if kind == "conv1d":
        cin, cout, k = params[:3]
        return cout * cin * k + cout
    return 0


def check_params(kind, params, where):
    if kind in ("conv2d", "conv1d"):
        sizes = params[:4] if kind == "conv2d" else params[:3]
        pads = params[4:] if kind == "conv2d" else params[3:]
        if any(v < 1 for v in sizes) or any(v < 0 for v in pads):
            raise PnnError("%s: bad %s parameters %s" % (where, kind, params))
        kernel = params[2:4] if kind == "conv2d" else params[2:3]
        if any(2 * p > k - 1 for p, k in zip(pads, kernel)):
            raise PnnError("%s: padding %s wider than the kernel allows" % (where, pads))
    elif kind == "maxpool2d" and any(v < 1 for v in params):
        raise PnnError("%s: pool sizes must be positive, got %s" % (where, params))


def parse(data):
    """The layers of a PNN1 file as Layer objects; raises PnnError on anything malformed."""
    r = Reader(data)
    magic = r.take(4, "the magic")
    if magic != MAGIC:
        raise PnnError("magic is %r, not %r" % (magic, MAGIC))
    count = r.u32("the layer count")
    if count < 1 or count > 1024:
        raise PnnError("implausible layer count %d" % count)
    layers = []
    for i in range(count):
        where = "layer %d" % i
        n = r.u32(where + " name length")
        if not 1 <= n <= MAX_NAME:
            raise PnnError("%s: name length %d outside 1..%d" % (where, n, MAX_NAME))
        raw = r.take(n, where + " name")
        try:
            kind = raw.decode("ascii")
        except UnicodeDecodeError:
            raise PnnError("%s: name %r is not ASCII" % (where, raw))
        if kind not in PARAM_COUNTS:
            raise PnnError("%s: unknown kind %r" % (where, kind))
        p = r.u32(where + " parameter count")
        if p > MAX_PARAMS or p != PARAM_COUNTS[kind]:
            raise PnnError("%s (%s): %d parameters, want %d" % (where, kind, p, PARAM_COUNTS[kind]))
        params = list(struct.unpack("<%di" % p, r.take(4 * p, where + " parameters")))
        check_params(kind, params, "%s (%s)" % (where, kind))
        w = r.u64(where + " weight count")
        if w != expected_weights(kind, params):
            raise PnnError("%s (%s): %d weights, the parameters %s need %d"
                           % (where, kind, w, params, expected_weights(kind, params)))
        weights = np.frombuffer(r.take(4 * w, where + " weights"), dtype="<f4").copy()
        if not np.all(np.isfinite(weights)):
            raise PnnError("%s (%s): weights hold NaN or infinity" % (where, kind))
        layers.append(Layer(kind, params, weights))
    if r.pos != len(data):
        raise PnnError("%d bytes after the last layer" % (len(data) - r.pos))
    check_chain(layers)
    return layers


def check_chain(layers, rows=features.N_BINS, classes=features.N_CLASSES):
    """Follows the tensor shape through the stack: (1 channel, rows) in, classes out."""
    channels, h, flat = 1, rows, False
    for i, layer in enumerate(layers):
        where = "layer %d (%s)" % (i, layer.kind)
        if layer.kind == "conv2d":
            if flat:
                raise PnnError("%s after flatten_freq" % where)
            if layer.params[0] != channels:
                raise PnnError("%s takes %d channels, gets %d" % (where, layer.params[0], channels))
            channels = layer.params[1]
            h = h + 2 * layer.params[4] - layer.params[2] + 1
        elif layer.kind == "maxpool2d":
            if flat:
                raise PnnError("%s after flatten_freq" % where)
            h //= layer.params[0]
        elif layer.kind == "flatten_freq":
            if flat:
                raise PnnError("%s: flattened twice" % where)
            channels, h, flat = channels * h, 1, True
        elif layer.kind == "conv1d":
            if not flat:
                raise PnnError("%s before flatten_freq" % where)
            if layer.params[0] != channels:
                raise PnnError("%s takes %d channels, gets %d" % (where, layer.params[0], channels))
            channels = layer.params[1]
        if h < 1:
            raise PnnError("%s: no frequency rows left" % where)
    if not flat or channels != classes:
        raise PnnError("the stack ends with %d %s, want %d classes"
                       % (channels, "outputs" if flat else "unflattened channels", classes))


def to_torch(layers):
    """nn.Sequential with the file's layers and weights."""
    mods = []
    for layer in layers:
        p, w = layer.params, torch.from_numpy(layer.weights)
        if layer.kind == "conv2d":
            cin, cout, kh, kw, ph, pw = p
            m = nn.Conv2d(cin, cout, (kh, kw), padding=(ph, pw))
            n = cout * cin * kh * kw
            m.weight.data.copy_(w[:n].reshape(cout, cin, kh, kw))
            m.bias.data.copy_(w[n:])
        elif layer.kind == "conv1d":
            cin, cout, k, pad = p
            m = nn.Conv1d(cin, cout, k, padding=pad)
            n = cout * cin * k
            m.weight.data.copy_(w[:n].reshape(cout, cin, k))
            m.bias.data.copy_(w[n:])
        elif layer.kind == "relu":
            m = nn.ReLU()
        elif layer.kind == "maxpool2d":
            m = nn.MaxPool2d((p[0], p[1]))
        else:
            m = FlattenFreq()
        mods.append(m)
    return nn.Sequential(*mods).eval()


def max_logit_difference(a, b, feats):
    """Largest |logit difference| of two networks over the decided frames of feats (F, 2049)."""
    return float(np.max(np.abs(decision.predict_logits(a, feats)
                               - decision.predict_logits(b, feats))))


def main(argv=None):
    p = argparse.ArgumentParser(description="Check a PNN1 file and compare it with a checkpoint.")
    p.add_argument("file")
    p.add_argument("--checkpoint", help="train.py checkpoint the file was exported from")
    p.add_argument("--wav", help="audio whose features drive the comparison")
    p.add_argument("--dump", metavar="CSV",
                   help="with --wav: write the file's logits per frame (frame, centre time in "
                        "s, 45 logits for MIDI 40..84), a reference for other implementations")
    args = p.parse_args(argv)

    with open(args.file, "rb") as f:
        data = f.read()
    try:
        layers = parse(data)
    except PnnError as e:
        print("error: %s: %s" % (args.file, e), file=sys.stderr)
        return 1
    print("%s: %d bytes, %d layers, %d weights" % (args.file, len(data), len(layers),
                                                    sum(len(l.weights) for l in layers)))
    for i, layer in enumerate(layers):
        print("  %2d %r" % (i, layer))
    if args.dump:
        if not args.wav:
            p.error("--dump needs --wav")
        audio, rate = features.read_wav(args.wav)
        feats, n = features.file_features(audio)
        logits = decision.predict_logits(to_torch(layers), feats)
        centres = features.frame_centres(0, n, rate)
        with open(args.dump, "w") as f:
            f.write("frame,t," + ",".join("midi%d" % (features.LOWEST_MIDI + k)
                                          for k in range(features.N_CLASSES)) + "\n")
            for k in range(n):
                f.write("%d,%.6f,%s\n" % (k, centres[k], ",".join("%.7g" % v for v in logits[k])))
        print("wrote %s: logits of %d frames" % (args.dump, n))
    if args.checkpoint:
        from export_pnn import load_checkpoint
        if not args.wav:
            p.error("--checkpoint needs --wav")
        audio, rate = features.read_wav(args.wav)
        feats, n = features.file_features(audio)
        diff = max_logit_difference(to_torch(layers), load_checkpoint(args.checkpoint).layers,
                                    feats)
        print("max |logit difference| over %d frames of %s: %.3g (limit %g)"
              % (n, os.path.basename(args.wav), diff, TOLERANCE))
        if not diff < TOLERANCE:
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
