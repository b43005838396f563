#!/usr/bin/python3
"""Runs orvex-render the way users do and checks its files, output and errors."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import wave

import numpy as np
from scipy.io import wavfile

RENDER = None
# The renderer reads and creates the presets folder under $HOME: every run gets a home of the
# test's own, never the user's.
ENV = None


def run(*args, cwd=None, env=None):
    return subprocess.run([RENDER, *args], cwd=cwd, capture_output=True, text=True, timeout=300,
                          env=env if env is not None else ENV)


def wrap_state(payload):
    """The framework's state wrapper: "VC2!", the text length, the text, a zero byte."""
    return b"VC2!" + struct.pack("<I", len(payload)) + payload + b"\0"


def write_float_wav(path, data, rate=44100):
    wavfile.write(path, rate, np.asarray(data, dtype=np.float32))


def write_pcm16(path, frames, channels, rate=44100):
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes((np.asarray(frames) * 20000).astype("<i2").tobytes())


def same_audio(a, b):
    return a.shape == b.shape and np.abs(a.astype(np.float64) - b).max() < 1e-7


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
        # With the stereo image off the 88 key channels sum back to the input: aligned output
        # equals the input once the first frames have faded in, in every latency mode.
        mono = noise(30000, 1)
        stereo = noise(30000, 2, channels=2)
        write_float_wav(self.path("mono.wav"), mono)
        write_float_wav(self.path("stereo.wav"), stereo)
        flat = ("--set", "pan_enabled=0")

        for mode, n in ((0, 4096), (1, 1024), (2, 512)):
            settled = n - n // 4
            r = run("--quiet", *flat, "--latency-mode", str(mode), "mono.wav", "m.wav", cwd=self.dir)
            self.assertEqual(r.returncode, 0, r.stderr)
            _, out = self.read("m.wav")
            self.assertEqual(out.shape, (30000, 2))
            self.assertLess(np.abs(out[settled:, 0] - mono[settled:]).max(), 1e-5)
            self.assertLess(np.abs(out[settled:, 1] - mono[settled:]).max(), 1e-5)

            r = run("--quiet", *flat, "--latency-mode", str(mode), "stereo.wav", "s.wav", cwd=self.dir)
            self.assertEqual(r.returncode, 0, r.stderr)
            _, out = self.read("s.wav")
            self.assertLess(np.abs(out[settled:] - stereo[settled:]).max(), 1e-5)

        # Unaligned output keeps the reported delay (4096 samples with the classical tracker).
        r = run("--quiet", *flat, "--set", "detection_engine=1", "--no-align", "mono.wav", "raw.wav",
                cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        _, raw = self.read("raw.wav")
        self.assertEqual(raw.shape, (30000, 2))
        self.assertTrue((raw[:4096] == 0).all())
        self.assertLess(np.abs(raw[8192:, 0] - mono[8192 - 4096:30000 - 4096]).max(), 1e-5)

    def test_block_sizes_do_not_change_the_result(self):
        # The balance correction of the stereo image moves once per block, so only with the image
        # off is the output independent of the host's block sizes; with it on, the same blocks
        # give the same output.
        write_float_wav(self.path("in.wav"), noise(20000, 3, channels=2))
        for name, blocks in (("a.wav", "512"), ("b.wav", "1,64,700,512")):
            r = run("--quiet", "--set", "pan_enabled=0", "--blocks", blocks, "in.wav", name, cwd=self.dir)
            self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(same_audio(self.read("a.wav")[1], self.read("b.wav")[1]))

        for name in ("c.wav", "d.wav"):
            r = run("--quiet", "--blocks", "1,64,700,512", "in.wav", name, cwd=self.dir)
            self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(same_audio(self.read("c.wav")[1], self.read("d.wav")[1]))

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
        # The network (when the build embeds it) adds five hops of look-ahead, and only runs at
        # the 4096-point frame: LIVE and MELODY fall back to the classical tracker's latency.
        neural = os.environ.get("ORVEX_HAS_MODEL", "1") == "1"
        cases = [((), 0, 9216 if neural else 4096), ((), 1, 1024), ((), 2, 512),
                 (("--set", "detection_engine=1"), 0, 4096), (("--set", "detection_engine=2"), 0, 9216 if neural else 4096)]
        for extra, mode, expected in cases:
            r = run("--print-latency", *extra, "--latency-mode", str(mode))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stdout.splitlines(), [f"latency {expected}", f"latency {expected}"],
                             (extra, mode))

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


class RenderPresetsAndState(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orvex-render-preset-test-")
        self.env = dict(os.environ, HOME=os.path.join(self.dir, "home"))
        self.presets = os.path.join(self.dir, "home", ".config", "VANTORIX", "ORVEX", "Presets")
        os.makedirs(self.presets)
        write_float_wav(self.path("in.wav"), noise(12000, 11, channels=2))

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def render(self, *args):
        r = run("--quiet", *args, cwd=self.dir, env=self.env)
        self.assertEqual(r.returncode, 0, r.stderr)

    def audio(self, name):
        return wavfile.read(self.path(name))[1]

    def test_list_presets(self):
        r = run("--list-presets", env=self.env)
        self.assertEqual((r.returncode, r.stdout), (0, ""))
        for name in ("b.xml", "A.xml", "c.txt"):
            with open(os.path.join(self.presets, name), "wb") as f:
                f.write(b"x")
        os.mkdir(os.path.join(self.presets, "d.xml"))
        r = run("--list-presets", env=self.env)
        self.assertEqual((r.returncode, r.stdout), (0, "A\nb\n"))

    def test_preset_by_name_and_by_file_then_set(self):
        sets = ["--set", "output_gain_db=-6", "--set", "pan_hardness=0.85", "--set", "stereo_mode=0"]
        self.render(*sets, "--save-state", "tone.state", "in.wav", "reference.wav")
        shutil.copy(self.path("tone.state"), os.path.join(self.presets, "Lead Tone.xml"))

        self.render("--preset", "Lead Tone", "in.wav", "by-name.wav")
        self.render("--preset", "tone.state", "in.wav", "by-file.wav")
        self.render("in.wav", "default.wav")
        reference = self.audio("reference.wav")
        self.assertTrue(same_audio(self.audio("by-name.wav"), reference))
        self.assertTrue(same_audio(self.audio("by-file.wav"), reference))
        self.assertFalse(same_audio(self.audio("default.wav"), reference))

        # --set applies on top of the preset.
        self.render("--preset", "Lead Tone", "--set", "output_gain_db=0", "in.wav", "override.wav")
        self.render(*sets, "--set", "output_gain_db=0", "in.wav", "direct.wav")
        self.assertTrue(same_audio(self.audio("override.wav"), self.audio("direct.wav")))

    def test_saved_state_restores_the_same_output(self):
        self.render("--latency-mode", "1", "--set", "output_gain_db=-3", "--set", "stereo_width=0.4",
                    "--save-state", "s.state", "in.wav", "a.wav")
        with open(self.path("s.state"), "rb") as f:
            self.assertEqual(f.read(4), b"VC2!")
        self.render("--load-state", "s.state", "in.wav", "b.wav")
        self.assertTrue(same_audio(self.audio("a.wav"), self.audio("b.wav")))

        # The latency mode travels with the state.
        r = run("--load-state", "s.state", "--print-latency", cwd=self.dir, env=self.env)
        self.assertEqual(r.stdout.splitlines(), ["latency 1024", "latency 1024"])

    def test_unreadable_preset_or_state_files(self):
        self.render("--save-state", "valid.state", "--print-latency")
        with open(self.path("valid.state"), "rb") as f:
            valid = f.read()
        files = {
            "empty.bin": b"",
            "garbage.bin": bytes(range(256)) * 4,
            "truncated.bin": valid[: len(valid) // 2],
            "zero-length.bin": b"VC2!" + b"\0" * 4 + valid[8:],
            "not-xml.bin": wrap_state(b"this is not xml"),
            "plain.xml": valid[8:-1],
            # Deep enough to overflow the stack of the framework's recursive XML reader.
            "deep.bin": wrap_state(b"<a>" * 40000),
        }
        for name, content in files.items():
            with open(self.path(name), "wb") as f:
                f.write(content)
        os.mkdir(self.path("folder.bin"))
        with open(os.path.join(self.presets, "Broken.xml"), "wb") as f:
            f.write(files["garbage.bin"])

        cases = [(option, name) for option in ("--preset", "--load-state")
                 for name in [*files, "folder.bin", "missing.bin"]] + [("--preset", "Broken")]
        for option, name in cases:
            with self.subTest(option=option, name=name):
                r = run("--quiet", option, name, "--save-state", "out.state", "in.wav", "out.wav",
                        cwd=self.dir, env=self.env)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
                self.assertIn(name, r.stderr)
                self.assertFalse(os.path.exists(self.path("out.wav")))
                self.assertFalse(os.path.exists(self.path("out.state")))

    def test_state_that_cannot_be_written_leaves_no_output(self):
        r = run("--quiet", "--save-state", "no-such-folder/s.state", "in.wav", "out.wav", cwd=self.dir, env=self.env)
        self.assertEqual(r.returncode, 2)
        self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
        self.assertFalse(os.path.exists(self.path("out.wav")))

        r = run("--quiet", "--save-state", "in.wav", "in.wav", "out.wav", cwd=self.dir, env=self.env)
        self.assertEqual(r.returncode, 2)
        self.assertIn("input", r.stderr)


if __name__ == "__main__":
    RENDER = os.path.abspath(sys.argv.pop(1))
    with tempfile.TemporaryDirectory(prefix="orvex-render-home-") as home:
        ENV = dict(os.environ, HOME=home)
        program = unittest.main(verbosity=2, exit=False)
    sys.exit(0 if program.result.wasSuccessful() else 1)
