#!/usr/bin/python3
"""Trains the note-detection network on the FluidR3 caches made by dataset.py. Resumable.

Batches are random crops of SEQ consecutive frames from the training frames laid end to end;
the loss (binary cross-entropy on the 45 logits) covers only the crop's columns with CONTEXT
real frames on each side, where the sequence network equals the plug-in's 11-frame classifier.
Each crop is augmented on its magnitudes before the log compression:

  - gain: -24..+6 dB, so the level-dependent ln(1 + 100|X|) sees quiet and hot inputs;
  - colour (80 %): a tilt of -3..+3 dB per octave around 1 kHz plus a random smooth curve of
    +-4 dB over log frequency, standing in for other instruments, pickups and soundfonts;
  - noise (60 %): white noise at -100..-65 dBFS RMS, added as complex Gaussian noise per bin
    (the distribution of |X + N| for circular noise does not depend on the phase of X).

Every --eval-every steps the model is scored on the validation sets (FluidR3, clean): loss,
frame P/R/F1 at probability 0.5 and with the plug-in's guitar decision rule; one CSV row per
evaluation. The checkpoint with the best validation F1 under the decision rule (guitar chords)
is kept as best.pt. last.pt is written every --save-minutes and at the end; starting again with
the same --out continues from it (model, optimiser, step, random states, CPU time).

    train.py --out tools/model/checkpoints/main
"""

import argparse
import csv
import json
import math
import os
import sys
import time

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import dataset  # noqa: E402
import decision  # noqa: E402
import features  # noqa: E402
from model import NoteNet, setup_cpu  # noqa: E402

C = features.CONTEXT
CSV_FIELDS = ("step", "epoch", "cpu_s", "wall_s", "lr", "train_loss", "val_loss",
              "val_p", "val_r", "val_f1", "val_f1_rule", "val_mixed_f1", "val_mixed_f1_rule")

# Octave position of every bin relative to 1 kHz (bins below 50 Hz count as 50 Hz), for the
# colour augmentation.
_FREQS = np.arange(features.N_BINS) * features.SAMPLE_RATE / features.FFT_SIZE
OCTAVES = torch.tensor(np.log2(np.maximum(_FREQS, 50.0) / 1000.0), dtype=torch.float32)
# Mean |N[k]|^2 of white noise of unit variance through the Hann window: sum(w^2) = 0.375 N.
NOISE_BIN_VAR = 0.375 * features.FFT_SIZE


def augment(mag, rng):
    """Gain, colour and noise on a batch of magnitudes (B, T, bins), float32 torch tensor."""
    b = mag.shape[0]
    gain_db = torch.tensor(rng.uniform(-24.0, 6.0, b), dtype=torch.float32)
    shape_db = gain_db[:, None].expand(b, features.N_BINS).clone()
    lo, hi = float(OCTAVES[0]), float(OCTAVES[-1])
    for i in range(b):
        if rng.random() < 0.8:
            tilt = rng.uniform(-3.0, 3.0)
            knots = np.linspace(lo, hi, 6)
            curve = np.interp(OCTAVES.numpy(), knots, rng.uniform(-4.0, 4.0, len(knots)))
            shape_db[i] += tilt * OCTAVES + torch.tensor(curve, dtype=torch.float32)
    mag = mag * (10.0 ** (shape_db / 20.0))[:, None, :]
    for i in range(b):
        if rng.random() < 0.6:
            sigma = 10.0 ** (rng.uniform(-100.0, -65.0) / 20.0) * math.sqrt(NOISE_BIN_VAR / 2)
            re = mag[i] + sigma * torch.randn(mag[i].shape)
            im = sigma * torch.randn(mag[i].shape)
            mag[i] = torch.sqrt(re * re + im * im)
    return mag


def to_input(mag):
    """(B, T, bins) magnitudes -> network input (B, 1, bins, T) of log features."""
    return torch.log1p(features.LOG_SCALE * mag).transpose(1, 2).unsqueeze(1).contiguous()


class TrainFrames:
    """All training frames end to end, held in memory as float16 magnitudes."""

    def __init__(self, set_dirs):
        mags, labels = [], []
        for d in set_dirs:
            mag, y, _ = dataset.load_cache(d)
            mags.append(mag)
            labels.append(y)
        self.mag = np.concatenate(mags)
        self.labels = np.concatenate(labels)

    def __len__(self):
        return len(self.labels)

    def batch(self, rng, size, seq):
        starts = rng.integers(0, len(self) - seq, size)
        mag = np.stack([self.mag[s:s + seq] for s in starts]).astype(np.float32)
        y = np.stack([self.labels[s:s + seq] for s in starts]).astype(np.float32)
        # Targets of the columns the loss sees: (B, 45, seq - 2C).
        return torch.from_numpy(mag), torch.from_numpy(y[:, C:seq - C]).transpose(1, 2)


def validate(model, set_dir, preset=decision.GUITAR_PRESET):
    """Loss and frame counts of one validation set: tp/fp/fn at p >= 0.5 and with the rule."""
    mag, y, examples = dataset.load_cache(set_dir)
    loss_sum, n = 0.0, 0
    counts = np.zeros((2, 3), dtype=np.int64)  # rows: raw 0.5, rule; columns: tp, fp, fn
    for ex in examples:
        a, b = ex["first"], ex["first"] + ex["frames"]
        feats = features.log_features(mag[a:b])
        logits = decision.predict_logits(model, feats)
        truth = y[a + C:b - C].astype(bool)
        loss_sum += torch.nn.functional.binary_cross_entropy_with_logits(
            torch.from_numpy(logits), torch.from_numpy(truth.astype(np.float32)),
            reduction="sum").item()
        n += truth.size
        probs = decision.sigmoid(logits)
        for row, found in enumerate((probs >= 0.5, decision.hysteresis(probs, **preset))):
            counts[row] += ((found & truth).sum(), (found & ~truth).sum(), (~found & truth).sum())
    return loss_sum / n, counts


def lr_at(step, args):
    """Linear warm-up, then cosine decay to 2 % of the peak."""
    if step < args.warmup:
        return args.lr * (step + 1) / args.warmup
    progress = min(1.0, (step - args.warmup) / max(1, args.steps - args.warmup))
    return args.lr * (0.02 + 0.98 * 0.5 * (1.0 + math.cos(math.pi * progress)))


def fmt(x):
    return "" if x is None else "%.4f" % x


def save(path, state):
    tmp = path + ".tmp"
    torch.save(state, tmp)
    os.replace(tmp, path)  # an interrupted save never leaves a broken checkpoint


def main(argv=None):
    p = argparse.ArgumentParser(description="Train the note-detection network (resumable).")
    p.add_argument("--out", default=os.path.join(HERE, "checkpoints", "main"),
                   help="checkpoint and log directory")
    p.add_argument("--root", default=dataset.DEFAULT_ROOT, help="where dataset.py put the sets")
    p.add_argument("--train-sets", default=",".join(n for n, _ in dataset.TRAIN_SETS))
    p.add_argument("--val-sets", default="val-guitar-chords,val-mixed",
                   help="first one selects the best checkpoint")
    p.add_argument("--steps", type=int, default=7500)
    p.add_argument("--batch", type=int, default=4, help="sequences per step")
    p.add_argument("--seq", type=int, default=60, help="frames per sequence (loss on seq-10)")
    p.add_argument("--lr", type=float, default=1e-3)
    p.add_argument("--dense-lr-scale", type=float, default=0.1,
                   help="learning-rate factor of the 4096 -> 128 convolution")
    p.add_argument("--warmup", type=int, default=300)
    p.add_argument("--dropout", type=float, default=0.1)
    p.add_argument("--clip", type=float, default=5.0, help="gradient norm limit")
    p.add_argument("--eval-every", type=int, default=1000)
    p.add_argument("--save-minutes", type=float, default=5.0)
    p.add_argument("--seed", type=int, default=7)
    args = p.parse_args(argv)

    setup_cpu()
    os.makedirs(args.out, exist_ok=True)
    last_path = os.path.join(args.out, "last.pt")
    best_path = os.path.join(args.out, "best.pt")
    log_path = os.path.join(args.out, "log.csv")

    torch.manual_seed(args.seed)
    model = NoteNet(dropout=args.dropout)
    # The 4096 -> 128 convolution has a fan-in of 12288: with Adam every weight moves by about
    # the learning rate a step, so the same rate as the small layers would shift its outputs
    # far more; it learns at args.dense_lr_scale times the rate.
    dense = list(model.layers[13].parameters())
    others = [p for p in model.parameters() if all(p is not q for q in dense)]
    opt = torch.optim.Adam([{"params": others, "scale": 1.0},
                            {"params": dense, "scale": args.dense_lr_scale}], lr=args.lr)
    rng = np.random.default_rng(args.seed)
    step, cpu_used, wall_used, best_f1, loss_acc = 0, 0.0, 0.0, -1.0, [0.0, 0]
    if os.path.exists(last_path):
        state = torch.load(last_path)
        model.load_state_dict(state["model"])
        opt.load_state_dict(state["optimizer"])
        rng.bit_generator.state = state["numpy_rng"]
        torch.set_rng_state(state["torch_rng"])
        step, cpu_used, best_f1 = state["step"], state["cpu_s"], state["best_f1"]
        wall_used = state["wall_s"]
        loss_acc = state["loss_acc"]
        print("resumed at step %d (%.0f s CPU so far)" % (step, cpu_used), flush=True)
    with open(os.path.join(args.out, "args.json"), "w") as f:
        json.dump(vars(args), f, indent=1)

    train = TrainFrames([os.path.join(args.root, n) for n in args.train_sets.split(",")])
    val_dirs = [os.path.join(args.root, n) for n in args.val_sets.split(",")]
    useful = args.batch * (args.seq - 2 * C)
    print("%d training frames (%.2f h), %d frames a step, %d steps = %.2f epochs"
          % (len(train), len(train) * features.HOP / features.SAMPLE_RATE / 3600, useful,
             args.steps, args.steps * useful / len(train)), flush=True)

    new_log = not os.path.exists(log_path)
    log_file = open(log_path, "a", newline="")
    log = csv.DictWriter(log_file, CSV_FIELDS)
    if new_log:
        log.writeheader()

    def state():
        return {"model": model.state_dict(), "optimizer": opt.state_dict(),
                "numpy_rng": rng.bit_generator.state, "torch_rng": torch.get_rng_state(),
                "step": step, "cpu_s": cpu_used, "best_f1": best_f1, "loss_acc": loss_acc,
                "wall_s": wall_used + time.time() - wall_start,
                "args": vars(args)}

    cpu_mark, wall_start, last_save = time.process_time(), time.time(), time.time()
    model.train()
    while step < args.steps:
        for group in opt.param_groups:
            group["lr"] = lr_at(step, args) * group["scale"]
        mag, target = train.batch(rng, args.batch, args.seq)
        logits = model(to_input(augment(mag, rng)))[:, :, C:args.seq - C]
        loss = torch.nn.functional.binary_cross_entropy_with_logits(logits, target)
        opt.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), args.clip)
        opt.step()
        step += 1
        loss_acc = [loss_acc[0] + loss.item(), loss_acc[1] + 1]
        if step % 100 == 0:
            print("step %d  loss %.4f  lr %.2e  %.0f s CPU"
                  % (step, loss_acc[0] / loss_acc[1], lr_at(step - 1, args), cpu_used), flush=True)
        now = time.process_time()
        cpu_used += now - cpu_mark
        cpu_mark = now

        if step % args.eval_every == 0 or step == args.steps:
            figures = []  # validation counts as training time: cpu_used covers it too
            for d in val_dirs:
                val_loss, counts = validate(model, d)
                figures.append((val_loss, decision.prf(*counts[0]), decision.prf(*counts[1])))
            (vl, (vp, vr, vf), (_, _, vfr)), rest = figures[0], figures[1:]
            vf, vfr = vf or 0.0, vfr or 0.0
            row = {"step": step, "epoch": "%.3f" % (step * useful / len(train)),
                   "cpu_s": "%.0f" % cpu_used, "wall_s": "%.0f" % (wall_used + time.time() - wall_start),
                   "lr": "%.2e" % lr_at(step - 1, args),
                   "train_loss": "%.5f" % (loss_acc[0] / max(1, loss_acc[1])),
                   "val_loss": "%.5f" % vl, "val_p": fmt(vp), "val_r": fmt(vr),
                   "val_f1": "%.4f" % vf, "val_f1_rule": "%.4f" % vfr,
                   "val_mixed_f1": fmt(rest[0][1][2]) if rest else "",
                   "val_mixed_f1_rule": fmt(rest[0][2][2]) if rest else ""}
            now = time.process_time()
            cpu_used += now - cpu_mark
            cpu_mark = now
            row["cpu_s"] = "%.0f" % cpu_used
            log.writerow(row)
            log_file.flush()
            print(" ".join("%s=%s" % kv for kv in row.items()), flush=True)
            loss_acc = [0.0, 0]
            if vfr > best_f1:
                best_f1 = vfr
                save(best_path, {"model": model.state_dict(), "step": step, "val_f1_rule": vfr,
                                 "val_f1": vf})
            save(last_path, state())
            last_save = time.time()
        elif time.time() - last_save > args.save_minutes * 60:
            save(last_path, state())
            last_save = time.time()
    save(last_path, state())
    print("done: %d steps, %.0f s CPU (%.2f h) of training, best validation F1 with the rule "
          "%.4f" % (step, cpu_used, cpu_used / 3600, best_f1), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
