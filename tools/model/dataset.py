#!/usr/bin/python3
"""Training and validation material for the note-detection network.

Renders labelled sets with tools/testset/generate_testset.py (FluidR3_GM only: TimGM6mb is kept
for evaluation) and turns every set into a feature cache:

    DIR/cache/mag.npy      (N, 2049) float16  |rfft| of all frames, examples end to end
    DIR/cache/labels.npy   (N, 45)   uint8    notes sounding at each frame centre
    DIR/cache/examples.json                   per example: name, instrument, kind, first
                                              frame, frame count

Each example contributes frames -5 .. n+4 (n = frames that start inside the example), so the
silence before and after it is part of the sequence, as it is for the plug-in. Magnitudes are
stored rather than features because the level and colour augmentation of train.py acts on
magnitudes; float16 keeps the cache at 4 kB a frame with ~1e-3 relative error, far below what
the log compression resolves.

    dataset.py render   [--root testsets/model]   render every set (skips finished ones)
    dataset.py cache    [--root testsets/model]   build the caches of every rendered set
    dataset.py all      (both)
"""

import argparse
import json
import os
import shlex
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools", "testset"))
sys.path.insert(0, HERE)
import features  # noqa: E402
import generate_testset  # noqa: E402

DEFAULT_ROOT = os.path.join(ROOT, "testsets", "model")

# Every set: (name, generator arguments). All use the FluidR3_GM soundfont (the generator's
# default); seeds differ from each other and from the evaluation sets (101 and up), so no
# example is shared. Velocities span 25..127 in the training material, events per example
# 2..4 to keep the share of silence moderate.
TRAIN_SETS = [
    # Guitar chords, the material the plug-in meets most: triads and 4-6 note voicings,
    # strummed more often than not.
    ("train-guitar-chords", "--instruments guitars --kinds triad,voicing --count 110 "
                            "--seed 1001 --events 2 4 --strum 0.6 --velocity 25 127"),
    # Guitars with every kind (single notes, intervals, triads, voicings, arpeggios) and a wider
    # spread of durations, from short stabs to long ringing notes.
    ("train-guitar-mixed", "--instruments guitars --count 90 --seed 1002 --events 2 4 "
                           "--min-dur 0.1 --max-dur 3.0 --velocity 25 127"),
    ("train-piano", "--instruments piano --count 120 --seed 1003 --events 2 4 "
                    "--velocity 25 127"),
    # Basses: notes below MIDI 40 carry no label, so the network learns not to report their
    # overtones; notes 40..60 are labelled as usual.
    ("train-bass", "--instruments basses,pick-bass --count 50 --seed 1004 --events 2 4 "
                   "--velocity 25 127"),
    ("train-extras", "--instruments electric-piano,harpsichord,vibraphone,harp --count 50 "
                     "--seed 1005 --events 2 4 --velocity 25 127"),
]
# Model selection and threshold checks: FluidR3 guitar chords made like the evaluation set,
# and some single notes, intervals and arpeggios of guitars and piano.
VAL_SETS = [
    ("val-guitar-chords", "--instruments guitars --kinds triad,voicing --count 12 --seed 2001"),
    ("val-mixed", "--instruments guitars,piano --kinds single,interval,arpeggio --count 4 "
                  "--seed 2002"),
]


def render(root, sets, jobs=1):
    """Renders the sets that are not there yet (a set is done when its index.json exists)."""
    for name, arg_text in sets:
        out = os.path.join(root, name)
        if os.path.exists(os.path.join(out, "index.json")):
            print("%s: already rendered" % name)
            continue
        argv = ["--out", out, "--soundfont", "fluid", "--jobs", str(jobs)] + shlex.split(arg_text)
        print("%s: generate_testset.py %s" % (name, " ".join(argv)), flush=True)
        if generate_testset.main(argv) != 0:
            raise SystemExit("rendering %s failed" % name)


def example_frames(label, audio, rate):
    """Magnitudes and labels of one example: frames -CONTEXT .. n-1+CONTEXT."""
    if rate != features.SAMPLE_RATE:
        raise ValueError("%s: sample rate %d, want %d" % (label["name"], rate,
                                                           features.SAMPLE_RATE))
    n = features.frame_count(len(audio))
    first = -features.CONTEXT
    count = n + 2 * features.CONTEXT
    mag = features.magnitudes(audio, first, count)
    y = features.frame_labels(label["notes"], features.frame_centres(first, count, rate))
    return mag, y


def build_cache(set_dir):
    """Writes set_dir/cache/ (see the module text). Returns the number of frames."""
    with open(os.path.join(set_dir, "index.json")) as f:
        index = json.load(f)
    if index.get("evaluationOnly") or index.get("soundfont") != "fluid":
        raise SystemExit("%s is not a FluidR3 set: never train or select models on it" % set_dir)
    mags, labels, examples = [], [], []
    first = 0
    for entry in index["examples"]:
        label = features.load_label(os.path.join(set_dir, entry["label"]))
        audio, rate = features.read_wav(os.path.join(set_dir, label["wav"]))
        mag, y = example_frames(label, audio, rate)
        mags.append(mag.astype(np.float16))
        labels.append(y)
        examples.append({"name": label["name"], "instrument": label["instrument"]["name"],
                         "family": label["instrument"]["family"], "kind": label["kind"],
                         "polyphony": label["polyphony"], "first": first, "frames": len(y)})
        first += len(y)
    cache = os.path.join(set_dir, "cache")
    os.makedirs(cache, exist_ok=True)
    np.save(os.path.join(cache, "mag.npy"), np.concatenate(mags))
    np.save(os.path.join(cache, "labels.npy"), np.concatenate(labels))
    with open(os.path.join(cache, "examples.json"), "w") as f:
        json.dump({"set": os.path.basename(set_dir), "soundfont": index["soundfont"],
                   "frames": first, "context": features.CONTEXT, "examples": examples}, f, indent=1)
    return first


def load_cache(set_dir, mmap=False):
    """(magnitudes float16 (N, 2049), labels uint8 (N, 45), example list) of a cached set."""
    cache = os.path.join(set_dir, "cache")
    mode = "r" if mmap else None
    mag = np.load(os.path.join(cache, "mag.npy"), mmap_mode=mode)
    y = np.load(os.path.join(cache, "labels.npy"), mmap_mode=mode)
    with open(os.path.join(cache, "examples.json")) as f:
        meta = json.load(f)
    return mag, y, meta["examples"]


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("action", choices=("render", "cache", "all"))
    p.add_argument("--root", default=DEFAULT_ROOT, help="where the sets go (git-ignored)")
    p.add_argument("--sets", default=None,
                   help="comma-separated set names (default: every training and validation set)")
    p.add_argument("--jobs", type=int, default=1, help="fluidsynth processes at once (default 1)")
    args = p.parse_args(argv)

    sets = TRAIN_SETS + VAL_SETS
    if args.sets:
        wanted = args.sets.split(",")
        unknown = set(wanted) - {n for n, _ in sets}
        if unknown:
            p.error("unknown set(s): %s" % ", ".join(sorted(unknown)))
        sets = [s for s in sets if s[0] in wanted]
    if args.action in ("render", "all"):
        render(args.root, sets, args.jobs)
    if args.action in ("cache", "all"):
        for name, _ in sets:
            started = time.process_time()
            n = build_cache(os.path.join(args.root, name))
            print("%s: %d frames (%.2f h of audio) cached in %.0f s CPU"
                  % (name, n, n * features.HOP / features.SAMPLE_RATE / 3600,
                     time.process_time() - started), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
