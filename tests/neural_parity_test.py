#!/usr/bin/python3
"""The training tools and the plug-in must compute the same network input and output.

Runs orvex-neural-frame-dump (the plug-in's STFT engine and NeuralPitchDetector) over a few
seconds of plucked-string audio and compares, frame by frame, its features and centre logits
with tools/model/features.py and the PyTorch network read back from the same model file.

    neural_parity_test.py DUMP_PROGRAM MODEL.pnn
"""

import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools", "model"))
import decision  # noqa: E402
import features  # noqa: E402
import pnn_reader  # noqa: E402

import torch  # noqa: E402

torch.set_num_threads(1)
DUMP = MODEL = None


def plucked_chords(seconds=4.0, rate=44100, seed=5):
    """Karplus-Strong-like plucked strings: a few chords and single notes, with onsets between
    frames and a quiet and a loud part, so that features cover silence, attacks and decays."""
    rng = np.random.default_rng(seed)
    out = np.zeros(int(seconds * rate))
    events = [(0.10, [40, 47, 52, 56, 59, 64], 0.3), (1.03, [57, 64, 69, 73], 0.08),
              (1.91, [62], 0.5), (2.37, [45, 52, 57, 60, 64], 0.25), (3.20, [76, 79], 0.15)]
    for start, notes, level in events:
        for m in notes:
            f = 440.0 * 2 ** ((m - 69) / 12)
            t = np.arange(int(1.5 * rate)) / rate
            partials = sum((0.7 ** h) * np.sin(2 * np.pi * f * (h + 1) * t + rng.uniform(0, 6.3))
                           for h in range(8) if f * (h + 1) < 0.45 * rate)
            tone = level * partials * np.exp(-t * (2.0 + f / 400.0))
            a = int(start * rate)
            b = min(a + tone.size, out.size)
            out[a:b] += tone[:b - a]
    return out.astype(np.float32)


def read_dump(path):
    with open(path, "rb") as f:
        count, bins, classes = np.frombuffer(f.read(12), dtype="<i4")
        record = np.dtype([("index", "<i4"), ("magnitudes", "<f4", (bins,)), ("features", "<f4", (bins,)),
                           ("logits", "<f4", (classes,))])
        return np.frombuffer(f.read(), dtype=record, count=count)


class NeuralParity(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.audio = plucked_chords()
        with tempfile.TemporaryDirectory(prefix="orvex-parity-") as tmp:
            raw, dump = os.path.join(tmp, "in.f32"), os.path.join(tmp, "frames.bin")
            cls.audio.tofile(raw)
            subprocess.run([DUMP, MODEL, raw, dump], check=True)
            cls.frames = read_dump(dump)
        with open(MODEL, "rb") as f:
            cls.net = pnn_reader.to_torch(pnn_reader.parse(f.read()))

    def test_frames_and_features(self):
        # Frame f of the plug-in is frame f of the tools: samples [f x 1024, f x 1024 + 4096),
        # periodic Hann, unscaled transform. Single-precision FFT rounding is about 1e-7 of a
        # frame's peak, so magnitudes agree to 1e-5 of it; ln(1 + 100 |X|) of the plug-in's
        # magnitudes is the tools' feature function to float precision.
        index = self.frames["index"]
        self.assertTrue((index == np.arange(len(index))).all())
        python = features.magnitudes(self.audio, 0, len(index))
        got = self.frames["magnitudes"]
        peak = np.maximum(python.max(axis=1, keepdims=True), 1e-3)
        worst = np.max(np.abs(got - python) / peak)
        self.assertLess(worst, 1e-5, "largest magnitude difference %.3g of the frame peak" % worst)

        want = features.log_features(got)
        worst = np.max(np.abs(self.frames["features"] - want) / np.maximum(np.abs(want), 1.0))
        self.assertLess(worst, 1e-6, "largest relative feature difference %.3g" % worst)

    def centre_logits(self, feats):
        """PyTorch logits of frames 5 .. n-6 and the plug-in's, which come after frames 10 .. n-1
        (the detector decides for the centre of its last 11 frames)."""
        c = features.CONTEXT
        want = decision.predict_logits(self.net, feats)
        got = self.frames["logits"][2 * c:]
        self.assertEqual(got.shape, want.shape)
        self.assertTrue(np.isfinite(got).all())
        self.assertTrue(np.isnan(self.frames["logits"][:2 * c]).all())
        self.assertGreater(np.ptp(want), 1.0)   # not trivially constant on this audio
        return got, want

    def test_incremental_logits_equal_the_network(self):
        # Same input features: the plug-in's incremental inference is the network, to 1e-4.
        got, want = self.centre_logits(self.frames["features"])
        worst = np.max(np.abs(got - want) / np.maximum(np.abs(want), 1.0))
        self.assertLess(worst, 1e-4, "largest relative logit difference %.3g" % worst)

    def test_logits_from_audio(self):
        # End to end from the audio, where single- and double-precision FFTs differ in the
        # near-silent bins that the log feature magnifies: still well under a hundredth.
        got, want = self.centre_logits(features.frame_features(self.audio, 0, len(self.frames)))
        worst = np.max(np.abs(got - want) / np.maximum(np.abs(want), 1.0))
        print("largest relative logit difference from audio: %.3g" % worst)
        self.assertLess(worst, 1e-2)


if __name__ == "__main__":
    DUMP, MODEL = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
