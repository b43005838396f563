#!/usr/bin/python3
"""The VST3 and LV2 builds, loaded by a JUCE-based host, must sound exactly like the processor
run directly by orvex-render with the same block sizes, and keep their state."""

import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np
from scipy.io import wavfile

BLOCKS = "1,64,512,2048,17,1024"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--host-check", required=True)
    ap.add_argument("--render", required=True)
    ap.add_argument("--vst3", required=True)
    ap.add_argument("--lv2-dir", required=True)
    ap.add_argument("--lv2-uri", required=True)
    args = ap.parse_args()

    failures = 0
    with tempfile.TemporaryDirectory(prefix="orvex-host-") as tmp:
        rate = 44100
        t = np.arange(3 * rate) / rate
        rng = np.random.default_rng(1)
        left = 0.3 * np.sin(2 * np.pi * 196.0 * t) + 0.05 * rng.standard_normal(t.size)
        right = 0.3 * np.sin(2 * np.pi * 329.6 * t) + 0.05 * rng.standard_normal(t.size)
        source = os.path.join(tmp, "in.wav")
        wavfile.write(source, rate, np.stack([left, right], axis=1).astype(np.float32))

        # The latency depends on the detection engine the build ships; the renderer reports it.
        latency = subprocess.run([args.render, "--print-latency"], check=True, capture_output=True,
                                 text=True).stdout.split()[1]

        reference = os.path.join(tmp, "reference.wav")
        subprocess.run([args.render, "--quiet", "--no-align", "--blocks", BLOCKS, source, reference], check=True)
        _, expected = wavfile.read(reference)

        # The host must not pick up an installed copy: it searches only the build's bundles.
        env = dict(os.environ, HOME=tmp)
        for fmt, ident, search in (("VST3", args.vst3, ""), ("LV2", args.lv2_uri, args.lv2_dir)):
            out = os.path.join(tmp, f"{fmt}.wav")
            r = subprocess.run([args.host_check, "--format", fmt, "--plugin", ident, "--input", source,
                                "--output", out, "--blocks", BLOCKS, "--expect-latency", latency,
                                "--search-path", search],
                               env=env, capture_output=True, text=True, timeout=300)
            print(f"--- {fmt}\n{r.stdout}{r.stderr}", end="")
            if r.returncode != 0:
                failures += 1
                continue
            _, got = wavfile.read(out)
            # The plug-in in a host is the same processor: its output must be the same, sample for
            # sample (FFT plans and the network's arithmetic are the same in every process).
            err = float(np.abs(got - expected).max())
            print(f"{fmt}: largest difference from the processor run directly: {err:.3g}")
            if got.shape != expected.shape or err > 1e-7 or np.abs(got).max() < 0.1:
                print(f"FAILED: {fmt} output differs from the processor run directly")
                failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
