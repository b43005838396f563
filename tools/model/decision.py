"""From network outputs to reported notes: sequence inference and the plug-in's decision rule."""

import numpy as np
import torch

import features

# Inference chunk: at most this many input columns per forward pass. Kept small so that no
# activation tensor passes 32 MB (16 x 2049 x 240 floats): glibc then serves them from the heap
# instead of fresh mmaps, whose page faults cost more than the convolutions on this machine.
CHUNK = 240

# The plug-in's guitar preset of the per-key hysteresis.
GUITAR_PRESET = {"on_threshold": 0.65, "off_threshold": 0.35, "on_frames": 7, "off_frames": 8}


def predict_logits(model, feats, chunk=CHUNK):
    """Logits (F - 2*CONTEXT, 45) for frames CONTEXT .. F-1-CONTEXT of feats (F, 2049).

    Runs the sequence in overlapping chunks: every output column needs CONTEXT real input
    columns on each side, so chunks overlap by 2*CONTEXT input columns and only their inner
    columns are kept; the result equals one pass over the whole sequence."""
    c = features.CONTEXT
    feats = torch.as_tensor(np.ascontiguousarray(feats, dtype=np.float32))
    n_out = feats.shape[0] - 2 * c
    step = chunk - 2 * c
    out = np.empty((max(n_out, 0), features.N_CLASSES), dtype=np.float32)
    was_training = model.training
    model.eval()
    with torch.no_grad():
        for a in range(0, n_out, step):
            b = min(a + step, n_out)
            x = feats[a:b + 2 * c].T.reshape(1, 1, features.N_BINS, -1)
            out[a:b] = model(x)[0, :, c:c + (b - a)].T.numpy()
    model.train(was_training)
    return out


def sigmoid(x):
    return 1.0 / (1.0 + np.exp(-np.asarray(x, dtype=np.float64)))


def hysteresis(probs, on_threshold, off_threshold, on_frames, off_frames):
    """The plug-in's per-key decision over a sequence of probabilities (frames, keys) -> bool.

    Per key, counters hits and misses start at 0. Each frame: the threshold is on_threshold
    while hits < on_frames, else off_threshold; p >= threshold gives hits += 1, misses = 0;
    otherwise, if misses (before counting this frame) >= off_frames, hits = 0, and misses += 1.
    The key is active when hits >= on_frames and misses <= off_frames."""
    probs = np.asarray(probs)
    hits = np.zeros(probs.shape[1], dtype=np.int64)
    misses = np.zeros(probs.shape[1], dtype=np.int64)
    active = np.zeros(probs.shape, dtype=bool)
    for t in range(probs.shape[0]):
        threshold = np.where(hits < on_frames, on_threshold, off_threshold)
        above = probs[t] >= threshold
        hits = np.where(above, hits + 1, np.where(misses >= off_frames, 0, hits))
        misses = np.where(above, 0, misses + 1)
        active[t] = (hits >= on_frames) & (misses <= off_frames)
    return active


def prf(tp, fp, fn):
    """Precision, recall, F1 (None where undefined)."""
    p = tp / (tp + fp) if tp + fp else None
    r = tp / (tp + fn) if tp + fn else None
    f = 2 * tp / (2 * tp + fp + fn) if tp + fp + fn else None
    return p, r, f
