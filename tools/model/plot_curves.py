#!/usr/bin/python3
"""Draws the training curves of a train.py log (log.csv) into a PNG.

    plot_curves.py tools/model/checkpoints/main/log.csv -o tools/model/training_curves.png
"""

import argparse
import csv
import sys

import matplotlib

matplotlib.use("Agg")  # no display: render to a file
import matplotlib.pyplot as plt  # noqa: E402


def column(rows, key):
    return [float(r[key]) if r[key] != "" else float("nan") for r in rows]


def main(argv=None):
    p = argparse.ArgumentParser(description="Plot train.py's log.csv.")
    p.add_argument("log")
    p.add_argument("-o", "--out", default="training_curves.png")
    args = p.parse_args(argv)
    with open(args.log) as f:
        rows = list(csv.DictReader(f))
    if not rows:
        raise SystemExit("error: %s has no rows" % args.log)
    epoch = column(rows, "epoch")

    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(11, 4))
    ax1.plot(epoch, column(rows, "train_loss"), "o-", label="training (augmented, mean since last row)")
    ax1.plot(epoch, column(rows, "val_loss"), "s-", label="validation: FluidR3 guitar chords")
    ax1.set_xlabel("epoch")
    ax1.set_ylabel("binary cross-entropy per key and frame")
    ax1.set_title("loss")
    ax1.legend(fontsize=8)
    ax1.grid(alpha=0.3)

    ax2.plot(epoch, column(rows, "val_f1"), "o-", label="guitar chords, p >= 0.5")
    ax2.plot(epoch, column(rows, "val_f1_rule"), "s-", label="guitar chords, decision rule")
    ax2.plot(epoch, column(rows, "val_mixed_f1"), "^--", label="notes/intervals/arpeggios, p >= 0.5")
    ax2.plot(epoch, column(rows, "val_mixed_f1_rule"), "v--",
             label="notes/intervals/arpeggios, decision rule")
    ax2.set_xlabel("epoch")
    ax2.set_ylabel("frame F1")
    ax2.set_ylim(0, 1)
    ax2.set_title("validation (FluidR3_GM, held-out seeds)")
    ax2.legend(fontsize=8, loc="lower right")
    ax2.grid(alpha=0.3)

    fig.tight_layout()
    fig.savefig(args.out, dpi=110)
    print("wrote %s (%d rows)" % (args.out, len(rows)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
