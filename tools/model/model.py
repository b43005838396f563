"""The note-detection network of ORVEX.

Input: log-magnitude STFT frames as a tensor (batch, 1, 2049 frequency bins, T frames).
Output: (batch, 45, T) logits for MIDI notes 40..84, one column per input frame.

Every layer pads time by one frame on each side, and there are five such layers (four 2-D
convolutions and the 3-tap 1-D convolution), so output column t depends on input frames
t-5..t+5 only. Away from the sequence edges the network is therefore exactly the plug-in's
11-frame-window classifier slid along time: training on long sequences and scoring only the
columns with five real frames on each side trains the same function much faster than feeding
single windows.
"""

import ctypes

import torch
from torch import nn

N_BINS = 2049        # rfft bins of a 4096-sample frame
N_CLASSES = 45       # MIDI 40 (E2) .. 84 (C6)
LOWEST_MIDI = 40
CONTEXT = 5          # frames on each side of the decided frame
WINDOW = 2 * CONTEXT + 1


class FlattenFreq(nn.Module):
    """(B, C, H, T) -> (B, C*H, T); channel index c*H + r, as the plug-in's flatten_freq."""

    def forward(self, x):
        b, c, h, t = x.shape
        return x.reshape(b, c * h, t)


def build_model():
    """The layer stack the plug-in runs, in file order (16 layers)."""
    return nn.Sequential(
        nn.Conv2d(1, 16, (3, 3), padding=(1, 1)), nn.ReLU(), nn.MaxPool2d((2, 1)),
        nn.Conv2d(16, 32, (3, 3), padding=(1, 1)), nn.ReLU(), nn.MaxPool2d((2, 1)),
        nn.Conv2d(32, 64, (3, 3), padding=(1, 1)), nn.ReLU(), nn.MaxPool2d((2, 1)),
        nn.Conv2d(64, 64, (3, 3), padding=(1, 1)), nn.ReLU(), nn.MaxPool2d((4, 1)),
        FlattenFreq(),
        nn.Conv1d(64 * 64, 128, 3, padding=1), nn.ReLU(),
        nn.Conv1d(128, N_CLASSES, 1, padding=0),
    )


def init_weights(layers, prior=0.05):
    """He initialisation for the ReLU stack (keeps the activation scale from layer to layer;
    the architecture has no normalisation layers), and an output layer that starts at the
    prior: small weights and bias logit(prior), about the share of active keys in a frame, so
    training does not spend its first hundreds of steps learning the base rate."""
    convs = [m for m in layers if isinstance(m, (nn.Conv1d, nn.Conv2d))]
    for m in convs[:-1]:
        nn.init.kaiming_normal_(m.weight, nonlinearity="relu")
        nn.init.zeros_(m.bias)
    nn.init.normal_(convs[-1].weight, std=0.01)
    nn.init.constant_(convs[-1].bias, float(torch.logit(torch.tensor(prior))))


class NoteNet(nn.Module):
    """build_model() plus dropout on the flattened features during training only. Dropout is
    the identity at inference, so the exported file holds exactly the 16 layers of .layers."""

    FLATTEN = 12  # index of FlattenFreq in the layer stack

    def __init__(self, dropout=0.0):
        super().__init__()
        self.layers = build_model()
        init_weights(self.layers)
        self.dropout = dropout

    def forward(self, x):
        for i, layer in enumerate(self.layers):
            x = layer(x)
            if i == self.FLATTEN and self.training and self.dropout > 0:
                x = nn.functional.dropout(x, self.dropout, training=True)
        return x


def setup_cpu():
    """One compute thread (the other core belongs to the compiler), and a malloc that keeps
    freed memory. glibc returns every block above its mmap threshold to the kernel at once;
    the activations here are tens of MB, and on this virtual machine the page faults of
    re-mapping them cost more CPU than the convolutions. Raising the threshold to its 32 MB
    maximum and never trimming the heap lets the blocks be reused."""
    torch.set_num_threads(1)
    try:
        torch.set_num_interop_threads(1)
    except RuntimeError:
        pass  # already set, or parallel work already ran
    try:
        libc = ctypes.CDLL("libc.so.6")
        m_trim_threshold, m_top_pad, m_mmap_threshold = -1, -2, -3
        libc.mallopt(m_mmap_threshold, 32 << 20)
        libc.mallopt(m_trim_threshold, 1 << 30)
        libc.mallopt(m_top_pad, 64 << 20)
    except OSError:
        pass  # not glibc: only slower
