#!/usr/bin/python3
"""The LV2 bundle as Debian's LV2 tools see it: lv2ls finds the plug-in under the URI the
binary answers to, and lv2info shows its name, buses and latency port.

lv2apply cannot run it: lv2apply handles only audio and control ports, and every plug-in
built with JUCE has atom ports for parameters and transport ("Port 4 has unsupported type").
Audio through a real LV2 host is tested with jalv instead."""

import argparse
import os
import subprocess
import sys


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--lv2-dir", required=True)
    ap.add_argument("--lv2-uri", required=True)
    args = ap.parse_args()
    lv2_dir = os.path.abspath(args.lv2_dir)
    env = dict(os.environ, LV2_PATH=lv2_dir)

    listed = subprocess.run(["lv2ls"], env=env, capture_output=True, text=True, check=True).stdout.split()
    if args.lv2_uri not in listed:
        print(f"FAILED: lv2ls does not list {args.lv2_uri}: {listed}")
        return 1

    info = subprocess.run(["lv2info", args.lv2_uri], env=env, capture_output=True, text=True)
    print(info.stdout)
    text = info.stdout
    checks = {
        "named ORVEX": "Name:              ORVEX" in text,
        "made by VANTORIX": "Author:            VANTORIX" in text,
        "reports latency through a port": "Has latency:       yes" in text,
        "binary inside the bundle": f"Binary:            file://{lv2_dir}/ORVEX.lv2/" in text,
        "two audio inputs": text.count("lv2core#InputPort") >= 2 and "audio_in_2" in text,
        "two audio outputs": "audio_out_1" in text and "audio_out_2" in text,
        "saves state": "http://lv2plug.in/ns/ext/state#interface" in text,
    }
    with open(os.path.join(lv2_dir, "ORVEX.lv2", "dsp.ttl"), encoding="utf-8") as f:
        checks["declares 46 parameters"] = f.read().count("a lv2:Parameter ;") == 46
    failed = [name for name, ok in checks.items() if not ok]
    for name, ok in checks.items():
        print(("ok: " if ok else "FAILED: ") + name)
    return 1 if failed or info.returncode != 0 else 0


if __name__ == "__main__":
    sys.exit(main())
