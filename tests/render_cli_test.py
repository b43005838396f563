#!/usr/bin/python3
"""Runs orvex-render the way users do and checks its files, output and errors."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import wave

import numpy as np
from scipy.io import wavfile

RENDER = None


def run(*args, cwd=None):
    return subprocess.run([RENDER, *args], cwd=cwd, capture_output=True, text=True, timeout=300)


def write_float_wav(path, data, rate=44100):
    wavfile.write(path, rate, np.asarray(data, dtype=np.float32))


def write_pcm16(path, frames, channels, rate=44100):
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes((np.asarray(frames) * 20000).astype("<i2").tobytes())


def same_audio(a, b):
    # Separate runs may pick different (equally fast) FFT algorithms: equal to rounding.
    return a.shape == b.shape and np.abs(a.astype(np.float64) - b).max() < 2e-5


def noise(n, seed, channels=1):
    rng = np.random.default_rng(seed)
    shape = (n,) if channels == 1 else (n, channels)
    return (rng.uniform(-0.5, 0.5, size=shape)).astype(np.float32)


class RenderCli(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orvex-render-test-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def read(self, name):
        rate, data = wavfile.read(self.path(name))
        return rate, data

    def test_help_and_parameter_list(self):
        r = run("--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn("--set ID=VALUE", r.stdout)

        r = run("--list-params")
        self.assertEqual(r.returncode, 0)
        lines = r.stdout.splitlines()
        self.assertEqual(len(lines), 46)
        self.assertEqual(lines[0], "pan_enabled\tPan Enabled\t0\t1\t1")
        self.assertEqual(lines[23], "zone_0_delay_time\tLow Delay Time\t20\t500\t250")
        self.assertEqual(lines[-2], "detection_engine\tDetection Engine\t0\t2\t0")
        self.assertTrue(all(len(line.split("\t")) == 5 for line in lines))

    def test_demo_render(self):
        r = run("--quiet", cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        rate, data = self.read("orvex-demo.wav")
        self.assertEqual(rate, 44100)
        self.assertEqual(data.dtype, np.float32)
        self.assertEqual(data.shape, (8 * 44100, 2))
        self.assertGreater(np.abs(data).max(), 0.05)
        self.assertTrue(np.isfinite(data).all())

        r = run("--quiet", "--rate", "48000", "--output", "demo48.wav", cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        rate, data = self.read("demo48.wav")
        self.assertEqual((rate, data.shape), (48000, (8 * 48000, 2)))

    def test_progress_bar_on_stderr(self):
        r = run(cwd=self.dir)
        self.assertEqual(r.returncode, 0)
        self.assertIn("100%", r.stderr)
        self.assertNotIn("%", run("--quiet", cwd=self.dir).stderr)

    def test_aligned_output_reproduces_the_input(self):
        # Until notes are separated the signal path is a pass-through; aligned output then
        # equals the input once the first frames have faded in.
        mono = noise(30000, 1)
        stereo = noise(30000, 2, channels=2)
        write_float_wav(self.path("mono.wav"), mono)
        write_float_wav(self.path("stereo.wav"), stereo)

        for mode, n in ((0, 4096), (1, 1024), (2, 512)):
            settled = n - n // 4
            r = run("--quiet", "--latency-mode", str(mode), "mono.wav", "m.wav", cwd=self.dir)
            self.assertEqual(r.returncode, 0, r.stderr)
            _, out = self.read("m.wav")
            self.assertEqual(out.shape, (30000, 2))
            self.assertLess(np.abs(out[settled:, 0] - mono[settled:]).max(), 1e-5)
            self.assertLess(np.abs(out[settled:, 1] - mono[settled:]).max(), 1e-5)

            r = run("--quiet", "--latency-mode", str(mode), "stereo.wav", "s.wav", cwd=self.dir)
            self.assertEqual(r.returncode, 0, r.stderr)
            _, out = self.read("s.wav")
            self.assertLess(np.abs(out[settled:] - stereo[settled:]).max(), 1e-5)

        r = run("--quiet", "--no-align", "mono.wav", "raw.wav", cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        _, raw = self.read("raw.wav")
        self.assertEqual(raw.shape, (30000, 2))
        self.assertTrue((raw[:4096] == 0).all())
        self.assertLess(np.abs(raw[8192:, 0] - mono[8192 - 4096:30000 - 4096]).max(), 1e-5)

    def test_block_sizes_do_not_change_the_result(self):
        write_float_wav(self.path("in.wav"), noise(20000, 3, channels=2))
        self.assertEqual(run("--quiet", "--block", "512", "in.wav", "a.wav", cwd=self.dir).returncode, 0)
        self.assertEqual(run("--quiet", "--blocks", "1,64,700,512", "in.wav", "b.wav", cwd=self.dir).returncode, 0)
        self.assertTrue(same_audio(self.read("a.wav")[1], self.read("b.wav")[1]))

    def test_set_and_default_output_name(self):
        write_float_wav(self.path("take.wav"), noise(5000, 4))
        r = run("--quiet", "--set", "pan_enabled=0", "--set", "zone_1_delay_time=600", "take.wav", cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(os.path.exists(self.path("take-orvex.wav")))

    def test_input_formats(self):
        frames = noise(8000, 5, channels=2)
        write_pcm16(self.path("pcm.wav"), frames, 2)
        r = run("--quiet", "pcm.wav", "pcm-out.wav", cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)

        if shutil.which("flac"):
            subprocess.run(["flac", "-s", "-f", "-o", self.path("in.flac"), self.path("pcm.wav")], check=True)
            r = run("--quiet", "in.flac", "flac-out.wav", cwd=self.dir)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertTrue(same_audio(self.read("flac-out.wav")[1], self.read("pcm-out.wav")[1]))

        if shutil.which("sox"):
            subprocess.run(["sox", self.path("pcm.wav"), self.path("in.aiff")], check=True)
            r = run("--quiet", "in.aiff", "aiff-out.wav", cwd=self.dir)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertTrue(same_audio(self.read("aiff-out.wav")[1], self.read("pcm-out.wav")[1]))

    def test_print_latency(self):
        for mode, expected in ((0, 4096), (1, 1024), (2, 512)):
            r = run("--print-latency", "--latency-mode", str(mode))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stdout.splitlines(), [f"latency {expected}", f"latency {expected}"])

    def test_errors_leave_no_output(self):
        write_float_wav(self.path("ok.wav"), noise(3000, 6))
        write_pcm16(self.path("three.wav"), noise(3000, 7, channels=3), 3)
        with open(self.path("junk.wav"), "wb") as f:
            f.write(b"RIFF\x00\x00\x00\x00WAVEjunkjunkjunk")

        cases = [
            (["--set", "pan_mod=1", "ok.wav", "out.wav"], "pan_mode"),
            (["--set", "pan_mode=abc", "ok.wav", "out.wav"], "malformed"),
            (["--set", "pan_mode", "ok.wav", "out.wav"], "ID=VALUE"),
            (["missing.wav", "out.wav"], "missing.wav"),
            (["three.wav", "out.wav"], "channel"),
            (["junk.wav", "out.wav"], "junk.wav"),
            (["--latency-mode", "5", "ok.wav", "out.wav"], "latency-mode"),
            (["--block", "0", "ok.wav", "out.wav"], "block"),
            (["--bogus", "ok.wav", "out.wav"], "--bogus"),
            (["--rate", "48000", "ok.wav", "out.wav"], "demo"),
        ]
        for args, hint in cases:
            with self.subTest(args=args):
                r = run(*args, cwd=self.dir)
                self.assertEqual(r.returncode, 2)
                self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
                self.assertIn(hint, r.stderr)
                self.assertFalse(os.path.exists(self.path("out.wav")))
        self.assertEqual(sorted(os.listdir(self.dir)), ["junk.wav", "ok.wav", "three.wav"])

    def test_never_overwrites_the_input(self):
        write_float_wav(self.path("keep.wav"), noise(3000, 8))
        with open(self.path("keep.wav"), "rb") as f:
            before = f.read()
        os.symlink(self.path("keep.wav"), self.path("link.wav"))
        for target in ("keep.wav", "./keep.wav", "link.wav"):
            r = run("--quiet", "keep.wav", target, cwd=self.dir)
            self.assertEqual(r.returncode, 2, target)
        with open(self.path("keep.wav"), "rb") as f:
            self.assertEqual(f.read(), before)


if __name__ == "__main__":
    RENDER = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
