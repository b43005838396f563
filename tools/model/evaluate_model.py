#!/usr/bin/python3
"""Frame-level evaluation of the note-detection network on a set made by generate_testset.py.

The network runs over every example (frames before the signal are silence, as in the
plug-in), and its probabilities become detections in two ways:

  rule  the plug-in's per-key decision rule (decision.hysteresis, guitar preset by default);
  raw   p >= --threshold (0.5) per frame, no memory.

Each detection is the decision for the centre of the network's 11-frame window, so it is
reported at that frame's centre time t = (k*1024 + 2048) / 44100, the "t" convention of
orvex-render's reports. The detections are then scored by tools/testset/evaluate.py itself
(same truth: notes with on <= t < off; "steady" frames farther than 50 ms from any onset or
offset; same groups), so the figures compare directly with the classical tracker's.

For reference it also scores "oracle" probabilities (1 where the truth has a note, else 0)
through the same rule: the best any network can reach under it.

    evaluate_model.py testsets/eval-guitar-chords --checkpoint CKPT  [--json out.json]
    evaluate_model.py testsets/eval-guitar-chords --pnn resources/universal_aug.pnn
"""

import argparse
import json
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools", "testset"))
sys.path.insert(0, HERE)
import decision  # noqa: E402
import evaluate  # noqa: E402
import features  # noqa: E402
from model import setup_cpu  # noqa: E402

MODES = ("rule", "raw", "oracle")


def detections(probs, centres, mode, args, truth=None):
    """A renderer-style report {"frames": [{"t", "notes"}]} from probabilities (frames, 45)."""
    if mode == "raw":
        found = probs >= args.threshold
    else:
        found = decision.hysteresis(truth.astype(float) if mode == "oracle" else probs,
                                    args.on_threshold, args.off_threshold,
                                    args.on_frames, args.off_frames)
    frames = []
    for t, row in zip(centres, found):
        frames.append({"t": float(t),
                       "notes": [int(k) + features.LOWEST_MIDI for k in np.flatnonzero(row)]})
    return {"frames": frames}


def sweep(cache, args):
    """Frame F1 (all frames) of decision-rule settings on a FluidR3 set, best first.
    cache: (probs, truth) per example, truth restricted to frames inside the example."""
    rows = []
    for on_frames in (1, 2, 3, 4, 5, 7):
        for off_frames in (1, 2, 3, 5, 8):
            for on_thr in (0.5, 0.65):
                for off_thr in (0.35, 0.5):
                    if off_thr > on_thr:
                        continue
                    c = np.zeros(3, dtype=np.int64)
                    for probs, truth in cache:
                        found = decision.hysteresis(probs, on_thr, off_thr, on_frames, off_frames)
                        c += ((found & truth).sum(), (found & ~truth).sum(),
                              (~found & truth).sum())
                    rows.append((decision.prf(*c), on_thr, off_thr, on_frames, off_frames))
    rows.sort(key=lambda r: -r[0][2])
    print("\ndecision-rule settings on this set, best frame F1 first (all frames):")
    print("  on_thr off_thr on_frames off_frames      P      R     F1")
    for (p, r, f), on_thr, off_thr, on_frames, off_frames in rows[:args.sweep]:
        print("  %6.2f %7.2f %9d %10d  %.3f  %.3f  %.3f" % (on_thr, off_thr, on_frames,
                                                         off_frames, p, r, f))
    guitar = [row for row in rows if row[1:] == (0.65, 0.35, 7, 8)]
    if guitar:
        print("  guitar preset (0.65 0.35 7 8): F1 %.3f, rank %d of %d"
              % (guitar[0][0][2], rows.index(guitar[0]) + 1, len(rows)))


def load_network(args):
    if args.pnn:
        import pnn_reader
        with open(args.pnn, "rb") as f:
            return pnn_reader.to_torch(pnn_reader.parse(f.read()))
    from export_pnn import load_checkpoint
    return load_checkpoint(args.checkpoint).layers


def main(argv=None):
    p = argparse.ArgumentParser(description="Score the note-detection network on a test set.")
    p.add_argument("set", help="set directory (or its index.json)")
    src = p.add_mutually_exclusive_group(required=True)
    src.add_argument("--checkpoint", help="train.py checkpoint")
    src.add_argument("--pnn", help="PNN1 model file")
    p.add_argument("--threshold", type=float, default=0.5, help="raw decision threshold")
    p.add_argument("--on-threshold", type=float, default=decision.GUITAR_PRESET["on_threshold"])
    p.add_argument("--off-threshold", type=float,
                   default=decision.GUITAR_PRESET["off_threshold"])
    p.add_argument("--on-frames", type=int, default=decision.GUITAR_PRESET["on_frames"])
    p.add_argument("--off-frames", type=int, default=decision.GUITAR_PRESET["off_frames"])
    p.add_argument("--tolerance", type=float, default=0.05)
    p.add_argument("--limit", type=int, default=None, help="score the first N examples only")
    p.add_argument("--json", dest="json_out", help="write all figures here")
    p.add_argument("--quiet", action="store_true", help="print the overall lines only")
    p.add_argument("--sweep", type=int, default=0, metavar="N",
                   help="also try a grid of decision-rule settings and list the best N "
                        "(FluidR3 sets only: settings are never chosen on evaluation sets)")
    args = p.parse_args(argv)

    setup_cpu()
    set_dir, index, labels = evaluate.load_set(args.set)
    if args.sweep and (index.get("evaluationOnly") or index.get("soundfont") != "fluid"):
        raise SystemExit("error: --sweep tunes the decision rule; it runs on FluidR3 sets only")
    if args.limit is not None:
        labels = labels[:args.limit]
    net = load_network(args)
    started = time.process_time()
    summaries = {m: evaluate.Summary() for m in MODES}
    sweep_cache = []
    for label in labels:
        audio, rate = features.read_wav(label["wavPath"])
        if rate != features.SAMPLE_RATE:
            raise SystemExit("%s: sample rate %d" % (label["name"], rate))
        feats, n = features.file_features(audio)
        probs = decision.sigmoid(decision.predict_logits(net, feats))
        centres = features.frame_centres(0, n, rate)
        truth = features.frame_labels(label["notes"], centres)
        if args.sweep:
            inside = centres < float(label["duration"])  # the frames evaluate.py scores
            sweep_cache.append((probs[inside], truth[inside].astype(bool)))
        for mode in MODES:
            report = detections(probs, centres, mode, args, truth)
            summaries[mode].add(label, *evaluate.score_file(label, report, args.tolerance))

    rule = "on %.2f / off %.2f, %d / %d frames" % (args.on_threshold, args.off_threshold,
                                                   args.on_frames, args.off_frames)
    results = {}
    for mode in MODES:
        meta = {"set": set_dir, "soundfont": index.get("soundfont"),
                "evaluationOnly": index.get("evaluationOnly"),
                "model": args.pnn or args.checkpoint, "decision": mode,
                "rule": rule if mode != "raw" else None,
                "threshold": args.threshold if mode == "raw" else None,
                "tolerance": args.tolerance, "range": None}
        results[mode] = summaries[mode].to_json(meta, index.get("instruments", ()))
    print("set %s (%s soundfont), %d files, %.0f s CPU"
          % (set_dir, index.get("soundfont"), len(labels), time.process_time() - started))
    if index.get("evaluationOnly"):
        print("evaluation-only set: never tune, train or select models on these figures")
    titles = {"rule": "network + decision rule (%s)" % rule,
              "raw": "network, raw p >= %.2f per frame" % args.threshold,
              "oracle": "truth through the decision rule (ceiling of the rule)"}
    for mode in MODES:
        o = results[mode]["overall"]
        print("%-60s all: P %.3f R %.3f F1 %.3f | steady: P %.3f R %.3f F1 %.3f"
              % (titles[mode], o["all"]["precision"] or 0, o["all"]["recall"] or 0,
                 o["all"]["f1"] or 0, o["steady"]["precision"] or 0,
                 o["steady"]["recall"] or 0, o["steady"]["f1"] or 0))
    if not args.quiet:
        for mode in ("rule", "raw"):
            print("\n== %s" % titles[mode])
            evaluate.print_table(results[mode], worst=3)
    if args.sweep:
        sweep(sweep_cache, args)
    if args.json_out:
        with open(args.json_out, "w") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
