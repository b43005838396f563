"""Input features and frame labels of the note-detection network.

Audio: 44.1 kHz mono, float samples in [-1, 1]. A stereo WAV is averaged to mono
((left + right) / 2), which is also what the plug-in must feed the network.

Frame t covers samples [t*1024, t*1024 + 4096). Its feature vector is

    x[k] = ln(1 + 100 * |X[k]|),  k = 0..2048,

where X is the unscaled forward real FFT (numpy.fft.rfft) of the frame times the periodic Hann
window w[i] = 0.5 * (1 - cos(2*pi*i/4096)). The centre of frame t lies at sample t*1024 + 2048.

Labels: frame t is labelled with the notes for which on <= centre_time < off, exactly the truth
that tools/testset/evaluate.py scores against. No release tail is added: the evaluation counts
a note still reported in its release as a false positive, and the network sees five frames
past the decided one, so it can learn where the damping starts.
"""

import json
import wave

import numpy as np

SAMPLE_RATE = 44100
FFT_SIZE = 4096
HOP = 1024
N_BINS = FFT_SIZE // 2 + 1
LOG_SCALE = 100.0
LOWEST_MIDI = 40
N_CLASSES = 45
CONTEXT = 5  # frames the network sees on each side of the frame it decides

# Periodic Hann window (the DFT-even form: divides by N, not N - 1).
WINDOW = (0.5 * (1.0 - np.cos(2.0 * np.pi * np.arange(FFT_SIZE) / FFT_SIZE))).astype(np.float64)


def read_wav(path):
    """Mono float32 samples in [-1, 1] and the sample rate of a 16-bit PCM WAV (fluidsynth's
    output). Stereo is averaged: (left + right) / 2."""
    with wave.open(path, "rb") as f:
        rate, width, channels = f.getframerate(), f.getsampwidth(), f.getnchannels()
        raw = f.readframes(f.getnframes())
    if width != 2:
        raise ValueError("%s: only 16-bit PCM is read here (got %d bytes a sample)" % (path, width))
    pcm = np.frombuffer(raw, dtype="<i2").astype(np.float32) / 32768.0
    return pcm.reshape(-1, channels).mean(axis=1, dtype=np.float32), rate


def frame_count(n_samples):
    """Frames whose start lies inside the signal: the frames evaluate.py scores (k*hop < length)."""
    return -(-n_samples // HOP)


def magnitudes(audio, first_frame, n_frames):
    """|rfft(window * frame)| of frames first_frame .. first_frame + n_frames - 1, shape
    (n_frames, 2049), float32. Samples before 0 and after the end of audio are zeros, so frames
    may start before the signal (negative first_frame) or reach past its end."""
    audio = np.asarray(audio, dtype=np.float64)
    start = first_frame * HOP
    stop = (first_frame + n_frames - 1) * HOP + FFT_SIZE
    padded = np.zeros(stop - start)
    a, b = max(start, 0), min(stop, len(audio))
    if b > a:
        padded[a - start:b - start] = audio[a:b]
    # Strided view of all frames: row t is padded[t*HOP : t*HOP + FFT_SIZE].
    frames = np.lib.stride_tricks.sliding_window_view(padded, FFT_SIZE)[::HOP][:n_frames]
    return np.abs(np.fft.rfft(frames * WINDOW, axis=1)).astype(np.float32)


def log_features(mag):
    """The network input ln(1 + 100 |X|), float32."""
    return np.log1p(LOG_SCALE * np.asarray(mag, dtype=np.float32)).astype(np.float32)


def frame_features(audio, first_frame, n_frames):
    """Features of frames first_frame .. first_frame + n_frames - 1, shape (n_frames, 2049)."""
    return log_features(magnitudes(audio, first_frame, n_frames))


def file_features(audio, context=CONTEXT):
    """Features of a whole signal for sequence inference: frames -context .. n-1+context, where
    n = frame_count(len(audio)). Column j + context of the network output then decides frame j,
    with real (silent or partly silent) frames on both sides, as in the plug-in where silence
    precedes the signal. Returns (features (n + 2*context, 2049), n)."""
    n = frame_count(len(audio))
    return frame_features(audio, -context, n + 2 * context), n


def frame_centres(first_frame, n_frames, rate=SAMPLE_RATE):
    """Centre time in seconds of each frame."""
    t = np.arange(first_frame, first_frame + n_frames)
    return (t * HOP + FFT_SIZE // 2) / float(rate)


def frame_labels(notes, centres, lowest=LOWEST_MIDI, n_classes=N_CLASSES):
    """(len(centres), n_classes) uint8: 1 where a note with on <= centre < off sounds.
    notes: dicts with midi, on, off (seconds), as in the test-set labels."""
    y = np.zeros((len(centres), n_classes), dtype=np.uint8)
    for n in notes:
        k = n["midi"] - lowest
        if 0 <= k < n_classes:
            y[(centres >= n["on"]) & (centres < n["off"]), k] = 1
    return y


def load_label(path):
    with open(path) as f:
        return json.load(f)
