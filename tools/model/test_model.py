#!/usr/bin/python3
"""Checks of the model tools: features and labels, the PNN1 writer and reader, sequence
inference and the decision rule.

    /usr/bin/python3 tools/model/test_model.py
"""

import os
import struct
import sys
import tempfile
import unittest
import wave

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import decision  # noqa: E402
import export_pnn  # noqa: E402
import features  # noqa: E402
import pnn_reader  # noqa: E402
from model import NoteNet  # noqa: E402

torch.set_num_threads(1)

# The shipped layer stack: (kind, params, weight count).
LAYER_TABLE = [
    ("conv2d", [1, 16, 3, 3, 1, 1], 160), ("relu", [], 0), ("maxpool2d", [2, 1], 0),
    ("conv2d", [16, 32, 3, 3, 1, 1], 4640), ("relu", [], 0), ("maxpool2d", [2, 1], 0),
    ("conv2d", [32, 64, 3, 3, 1, 1], 18496), ("relu", [], 0), ("maxpool2d", [2, 1], 0),
    ("conv2d", [64, 64, 3, 3, 1, 1], 36928), ("relu", [], 0), ("maxpool2d", [4, 1], 0),
    ("flatten_freq", [], 0),
    ("conv1d", [4096, 128, 3, 1], 1572992), ("relu", [], 0),
    ("conv1d", [128, 45, 1, 0], 5805),
]
FILE_SIZE = 6556612


def random_model(seed=0):
    torch.manual_seed(seed)
    model = NoteNet().eval()
    with torch.no_grad():  # biases too, so their order in the file matters
        for p in model.parameters():
            p.normal_(0.0, 0.05)
    return model


class FeatureTest(unittest.TestCase):
    def test_features_match_a_direct_dft(self):
        # A short signal of two sines and noise; frames from before its start to past its end.
        rng = np.random.default_rng(1)
        n = 3 * features.HOP + 500
        i = np.arange(n)
        audio = (0.3 * np.sin(2 * np.pi * 440.0 * i / 44100) + 0.05 * np.sin(0.9 * i)
                 + 0.01 * rng.standard_normal(n)).astype(np.float32)
        first, count = -2, 7
        got = features.frame_features(audio, first, count)
        self.assertEqual((got.shape, got.dtype), ((count, 2049), np.float32))
        k = np.arange(2049)
        basis = np.exp(-2j * np.pi * np.outer(k, np.arange(4096)) / 4096)
        window = np.array([0.5 * (1 - np.cos(2 * np.pi * j / 4096)) for j in range(4096)])
        for row, t in enumerate(range(first, first + count)):
            frame = np.zeros(4096)
            for j in range(4096):
                s = t * 1024 + j
                if 0 <= s < n:
                    frame[j] = audio[s]
            want = np.log(1.0 + 100.0 * np.abs(basis @ (frame * window)))
            np.testing.assert_allclose(got[row], want, rtol=1e-5, atol=1e-5, err_msg="frame %d" % t)

    def test_sine_on_a_bin_has_the_unscaled_peak(self):
        # Periodic Hann, unscaled FFT: amplitude A on bin k0 gives |X[k0]| = A * N / 4.
        k0, amp = 93, 0.25
        audio = amp * np.cos(2 * np.pi * k0 * np.arange(8192) / 4096)
        mag = features.magnitudes(audio, 0, 2)
        np.testing.assert_allclose(mag[:, k0], amp * 1024, rtol=1e-5)
        self.assertAlmostEqual(float(features.log_features(mag)[0, k0]), np.log1p(25600), 3)

    def test_whole_file_frames_and_mono_downmix(self):
        # Stereo 16-bit WAV: left 0.5, right -0.25 -> mono 0.125. 2049 samples -> 3 frames.
        path = os.path.join(self.tmp.name, "s.wav")
        pcm = np.tile(np.array([16384, -8192], dtype="<i2"), 2049)
        with wave.open(path, "wb") as f:
            f.setnchannels(2)
            f.setsampwidth(2)
            f.setframerate(44100)
            f.writeframes(pcm.tobytes())
        audio, rate = features.read_wav(path)
        self.assertEqual((rate, len(audio)), (44100, 2049))
        np.testing.assert_allclose(audio, 0.125)
        feats, n = features.file_features(audio)
        self.assertEqual((n, feats.shape[0]), (3, 3 + 2 * features.CONTEXT))
        np.testing.assert_array_equal(feats, features.frame_features(audio, -5, 13))
        self.assertEqual(float(np.abs(feats[0]).max()), 0.0)  # frame -5 lies before the signal

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.tmp.cleanup()

    def test_labels_follow_on_le_centre_lt_off(self):
        centres = features.frame_centres(0, 4)  # 2048, 3072, 4096, 5120 samples
        cases = [  # (note, frames labelled)
            ({"midi": 60, "on": 2048 / 44100, "off": 4096 / 44100}, [0, 1]),   # on at a centre: in
            ({"midi": 60, "on": 2049 / 44100, "off": 9.0}, [1, 2, 3]),     # just after: next frame
            ({"midi": 40, "on": 0.0, "off": 3072 / 44100}, [0]),           # off at a centre: out
            ({"midi": 84, "on": 0.0, "off": 9.0}, [0, 1, 2, 3]),       # highest class
            ({"midi": 39, "on": 0.0, "off": 9.0}, []),                 # below the range
            ({"midi": 85, "on": 0.0, "off": 9.0}, []),                 # above it
        ]
        for note, frames in cases:
            with self.subTest(note=note):
                y = features.frame_labels([note], centres)
                k = note["midi"] - 40
                got = list(np.flatnonzero(y[:, k])) if 0 <= k < 45 else list(np.flatnonzero(y))
                self.assertEqual(got, frames)
                self.assertEqual(int(y.sum()), len(frames))


class PnnFileTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.model = random_model()
        cls.data = export_pnn.pnn_bytes(cls.model.layers)

    def test_size_and_layer_table(self):
        self.assertEqual(len(self.data), FILE_SIZE)
        self.assertEqual(self.data[:4], b"PNN1")
        layers = pnn_reader.parse(self.data)
        self.assertEqual([(l.kind, l.params, len(l.weights)) for l in layers], LAYER_TABLE)

    def test_weight_order_kernel_then_bias(self):
        layers = pnn_reader.parse(self.data)
        conv = self.model.layers[3]
        w = layers[3].weights
        self.assertEqual(w[0], conv.weight[0, 0, 0, 0].item())
        self.assertEqual(w[1], conv.weight[0, 0, 0, 1].item())   # time tap varies fastest
        self.assertEqual(w[3], conv.weight[0, 0, 1, 0].item())   # then frequency
        self.assertEqual(w[9], conv.weight[0, 1, 0, 0].item())   # then input channel
        self.assertEqual(w[144], conv.weight[1, 0, 0, 0].item())  # then output channel
        self.assertEqual(w[4608], conv.bias[0].item())            # biases last
        dense = self.model.layers[13]
        self.assertEqual(layers[13].weights[1], dense.weight[0, 0, 1].item())
        self.assertEqual(layers[13].weights[3], dense.weight[0, 1, 0].item())

    def test_round_trip_gives_the_same_logits(self):
        rng = np.random.default_rng(3)
        feats = rng.uniform(0, 8, (30, 2049)).astype(np.float32)
        rebuilt = pnn_reader.to_torch(pnn_reader.parse(self.data))
        diff = pnn_reader.max_logit_difference(rebuilt, self.model.layers, feats)
        self.assertLess(diff, 1e-4)

    def test_malformed_files_are_rejected(self):
        d = self.data
        first_name = 8 + 4  # after magic, layer count and the first name length
        first_params = first_name + 6 + 4
        cases = [
            ("magic", b"PNN2" + d[4:], "magic"),
            ("truncated", d[:-1], "ends inside"),
            ("trailing byte", d + b"\0", "after the last layer"),
            ("layer count", d[:4] + struct.pack("<I", 17) + d[8:], "ends inside"),
            ("unknown kind", d[:first_name] + b"conv3d" + d[first_name + 6:], "unknown kind"),
            ("name length", d[:8] + struct.pack("<I", 65) + d[12:], "name length"),
            ("parameter count", d[:first_name + 6] + struct.pack("<I", 5) + d[first_params:],
             "parameters"),
            ("channels", d[:first_params] + struct.pack("<i", 2) + d[first_params + 4:],
             "weights"),
            ("weight count", d[:first_params + 24] + struct.pack("<Q", 161)
             + d[first_params + 32:], "weights"),
            ("pool size", d.replace(b"maxpool2d" + struct.pack("<I2i", 2, 4, 1),
                                    b"maxpool2d" + struct.pack("<I2i", 2, 2, 1)), "channels"),
            ("NaN weight", d[:-4] + struct.pack("<f", float("nan")), "NaN"),
        ]
        for name, data, message in cases:
            with self.subTest(name):
                self.assertNotEqual(data, d)
                with self.assertRaisesRegex(pnn_reader.PnnError, message):
                    pnn_reader.parse(data)


class InferenceTest(unittest.TestCase):
    def test_sequence_equals_sliding_window_and_chunks_join(self):
        # The plug-in decides the centre of each 11-frame window; a pass over the sequence
        # (in chunks that must join without seams) has to give the same logits.
        model = random_model(5).layers
        rng = np.random.default_rng(5)
        feats = rng.uniform(0, 8, (26, 2049)).astype(np.float32)
        whole = decision.predict_logits(model, feats, chunk=100)
        chunked = decision.predict_logits(model, feats, chunk=13)
        self.assertEqual(whole.shape, (16, 45))
        np.testing.assert_allclose(chunked, whole, atol=1e-5)
        with torch.no_grad():
            for j in (0, 7, 15):
                window = torch.from_numpy(feats[j:j + 11].T.copy()).reshape(1, 1, 2049, 11)
                np.testing.assert_allclose(model(window)[0, :, 5].numpy(), whole[j], atol=1e-5)

    def test_decision_rule(self):
        preset = decision.GUITAR_PRESET  # on 0.65, off 0.35, 7 on-frames, 8 off-frames
        cases = [
            # 10 frames above: on at the 7th, held 8 frames after the last hit, off at the 9th.
            ([0.9] * 10 + [0.1] * 12, [0] * 6 + [1] * 12 + [0] * 4),
            # 0.5 does not count before the key is on (needs 0.65), but holds it once on.
            ([0.9] * 3 + [0.5] * 2 + [0.9] * 4 + [0.5] * 3 + [0.1] * 10,
             [0] * 8 + [1] * 12 + [0] * 2),
            # A gap of 8 misses keeps the hits; 9 misses reset them and the count starts again.
            ([0.9] * 4 + [0.1] * 8 + [0.9] * 3, [0] * 14 + [1]),
            ([0.9] * 4 + [0.1] * 9 + [0.9] * 3, [0] * 16),
        ]
        for probs, want in cases:
            with self.subTest(probs=probs):
                got = decision.hysteresis(np.array(probs)[:, None], **preset)[:, 0]
                self.assertEqual(list(got.astype(int)), want)


if __name__ == "__main__":
    unittest.main()
