#!/usr/bin/python3
"""Generates a labelled set of short instrument recordings for measuring the note detector.

Every example is a few musical events of one kind (single notes, intervals, triads, guitar
voicings or arpeggios) played by one General MIDI instrument. The events are written as a
Standard MIDI File and rendered with the fluidsynth command-line synthesiser; the exact note
times go into a JSON label next to the WAV.

To keep the soundfont loading (about a second for FluidR3_GM) out of the per-example cost,
the examples of one instrument are laid end to end in one MIDI file per chunk, rendered in one
fluidsynth run and cut apart afterwards. Each example ends with "all sound off" (CC 120), so no
release tail leaks into the next one, and starts with a short silence.

Soundfont rule: FluidR3_GM is the only soundfont for material used in tuning or training;
TimGM6mb sets are for evaluation only (their index.json says so).

Usage: generate_testset.py --out testsets/dev --count 20 [--instruments guitars,piano]
"""

import argparse
import array
import concurrent.futures
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import wave

SOUNDFONTS = {
    "fluid": "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "timgm": "/usr/share/sounds/sf2/TimGM6mb.sf2",
}
SOUNDFONT_PACKAGES = {"fluid": "fluid-soundfont-gm", "timgm": "timgm6mb-soundfont"}

# name: (GM program, 1-based as in the GM table; GM name; family)
INSTRUMENTS = {
    "nylon": (25, "Acoustic Guitar (nylon)", "guitar"),
    "steel": (26, "Acoustic Guitar (steel)", "guitar"),
    "jazz": (27, "Electric Guitar (jazz)", "guitar"),
    "clean": (28, "Electric Guitar (clean)", "guitar"),
    "muted": (29, "Electric Guitar (muted)", "guitar"),
    "overdriven": (30, "Overdriven Guitar", "guitar"),
    "distortion": (31, "Distortion Guitar", "guitar"),
    "piano": (1, "Acoustic Grand Piano", "piano"),
    "acoustic-bass": (33, "Acoustic Bass", "bass"),
    "finger-bass": (34, "Electric Bass (finger)", "bass"),
}
# More GM instruments, for training material that is not all guitar: a third bass and four
# keyboard or plucked sounds ("keys": chords are voiced as on a keyboard). They are asked for by
# name or as the group "extras"; "all" keeps the ten instruments above, so its sets stay as
# they were.
EXTRA_INSTRUMENTS = {
    "pick-bass": (35, "Electric Bass (pick)", "bass"),
    "electric-piano": (5, "Electric Piano 1", "keys"),
    "harpsichord": (7, "Harpsichord", "keys"),
    "vibraphone": (12, "Vibraphone", "keys"),
    "harp": (47, "Orchestral Harp", "keys"),
}
GROUPS = {
    "guitars": [n for n, v in INSTRUMENTS.items() if v[2] == "guitar"],
    "basses": [n for n, v in INSTRUMENTS.items() if v[2] == "bass"],
    "all": list(INSTRUMENTS),
    "extras": list(EXTRA_INSTRUMENTS),
}
INSTRUMENTS.update(EXTRA_INSTRUMENTS)

KINDS = ("single", "interval", "triad", "voicing", "arpeggio")
DEFAULT_KINDS = {
    "guitar": KINDS,
    "piano": KINDS,
    "bass": ("single", "interval", "arpeggio"),
    "keys": KINDS,
}

# Open strings and highest fret of the fretted instruments. Guitar: E2 A2 D3 G3 B3 E4 with 24
# frets (MIDI 40..88); bass: E1 A1 D2 G2 with 20 frets.
FRETBOARDS = {
    "guitar": ((40, 45, 50, 55, 59, 64), 24),
    "bass": ((28, 33, 38, 43), 20),
}
# Pitch window used unless --range is given (guitar: the range the detectors care about most).
DEFAULT_RANGE = {"guitar": (40, 84), "piano": (40, 84), "bass": (28, 60), "keys": (40, 84)}
# What the instrument can play at all; --range is clipped to it.
PLAYABLE_RANGE = {"guitar": (40, 88), "piano": (21, 108), "bass": (28, 63), "keys": (28, 96)}
MAX_FRET_SPAN = 4  # fretting-hand stretch: highest minus lowest fretted fret

# Chord qualities as pitch classes over the root; "needed" must all sound, the rest may be left out.
QUALITIES = {
    "maj": ((0, 4, 7), (0, 4)),
    "min": ((0, 3, 7), (0, 3)),
    "dim": ((0, 3, 6), (0, 3, 6)),
    "aug": ((0, 4, 8), (0, 4, 8)),
    "sus2": ((0, 2, 7), (0, 2, 7)),
    "sus4": ((0, 5, 7), (0, 5, 7)),
    "7": ((0, 4, 7, 10), (0, 4, 10)),
    "maj7": ((0, 4, 7, 11), (0, 4, 11)),
    "m7": ((0, 3, 7, 10), (0, 3, 10)),
    "m7b5": ((0, 3, 6, 10), (0, 3, 6, 10)),
    "6": ((0, 4, 7, 9), (0, 4, 9)),
    "add9": ((0, 2, 4, 7), (0, 2, 4)),
    "9": ((0, 2, 4, 7, 10), (0, 2, 4, 10)),
}
TRIAD_QUALITIES = ("maj", "min", "dim", "aug", "sus2", "sus4")
# Interval sizes in semitones and how often they are drawn: consonant intervals and octaves
# most, seconds and sevenths (hard for a detector) less, compound intervals now and then.
INTERVAL_WEIGHTS = {1: 2, 2: 3, 3: 6, 4: 6, 5: 6, 6: 2, 7: 8, 8: 4, 9: 4, 10: 3, 11: 2, 12: 6,
                    14: 1, 15: 1, 16: 1, 19: 2, 24: 1}

TICKS_PER_SECOND = 1000  # tempo 1 s per quarter note, 1000 ticks per quarter: one tick per ms
CHANNEL = 0
PRE_ROLL = (0.2, 0.4)  # silence before the first event of an example, seconds
TAIL = 0.8             # release allowed to ring after the last note-off before the hard stop
EXAMPLE_GAP = 0.1      # silence in the chunk between one example's hard stop and the next start


# ---------------------------------------------------------------------------------------------
# Standard MIDI File writing


def _vlq(n):
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.append(0x80 | (n & 0x7F))
        n >>= 7
    return bytes(reversed(out))


def midi_file_bytes(events, end_tick):
    """A format-0 SMF with one tick per millisecond. events: (tick, order, bytes) tuples."""
    header = [(0, 0, bytes([0xFF, 0x51, 0x03]) + (1000000).to_bytes(3, "big"))]
    body = sorted(header + list(events), key=lambda e: (e[0], e[1]))
    body.append((max(end_tick, body[-1][0]), 9, bytes([0xFF, 0x2F, 0x00])))
    track = bytearray()
    last = 0
    for tick, _, data in body:
        track += _vlq(tick - last) + data
        last = tick
    head = b"MThd" + struct.pack(">IHHH", 6, 0, 1, TICKS_PER_SECOND)
    return head + b"MTrk" + struct.pack(">I", len(track)) + bytes(track)


# ---------------------------------------------------------------------------------------------
# Material


def fretboard_positions(pitch, family, window):
    """(string, fret) pairs that play pitch, within the pitch window."""
    if family not in FRETBOARDS or not window[0] <= pitch <= window[1]:
        return []
    strings, frets = FRETBOARDS[family]
    return [(s, pitch - o) for s, o in enumerate(strings) if 0 <= pitch - o <= frets]


def playable(pitches, family, window):
    """Whether the pitches fit one hand shape: distinct strings, fretted frets within the stretch."""
    if family not in FRETBOARDS:
        return all(window[0] <= p <= window[1] for p in pitches)
    options = [fretboard_positions(p, family, window) for p in pitches]

    def search(i, used, lo, hi):
        if i == len(options):
            return True
        for s, f in options[i]:
            if s in used:
                continue
            nlo, nhi = lo, hi
            if f > 0:
                nlo, nhi = min(lo, f), max(hi, f)
                if nhi - nlo > MAX_FRET_SPAN - 1:
                    continue
            if search(i + 1, used | {s}, nlo, nhi):
                return True
        return False

    return search(0, frozenset(), 99, -1)


def string_sets(n, n_strings):
    """Sets of n strings a chord can be fingered on: adjacent strings, and for three or four
    notes also shapes that skip one inner string (drop voicings)."""
    sets = [tuple(range(a, a + n)) for a in range(n_strings - n + 1)]
    if 3 <= n <= 4 and n < n_strings:
        for a in range(n_strings - n):
            span = list(range(a, a + n + 1))
            for skip in span[1:-1]:
                sets.append(tuple(s for s in span if s != skip))
    return sets


def fretted_chord(rng, family, window, n, qualities):
    """A chord of n distinct pitches fingered on the fretboard: one note per string of a string
    set, frets within the stretch (open strings allowed), every needed chord tone present."""
    strings, max_fret = FRETBOARDS[family]
    for _ in range(400):
        quality = rng.choice(qualities)
        pcs, needed = QUALITIES[quality]
        if n < len(needed):
            continue
        root = rng.randrange(12)
        chord_pcs = {(root + i) % 12 for i in pcs}
        needed_pcs = {(root + i) % 12 for i in needed}
        string_set = rng.choice(string_sets(n, len(strings)))
        # Hand position: mostly the first twelve frets; open strings only near the nut.
        if rng.random() < 0.85:
            base = rng.randrange(0, 10)
        else:
            base = rng.randrange(10, max_fret - MAX_FRET_SPAN + 2)
        opens = [0] if base <= 5 else []
        choices = []
        for s in string_set:
            frets = [f for f in opens + list(range(max(1, base), base + MAX_FRET_SPAN))
                     if f <= max_fret and (strings[s] + f) % 12 in chord_pcs
                     and window[0] <= strings[s] + f <= window[1]]
            if not frets:
                break
            choices.append((s, frets))
        if len(choices) != n:
            continue
        for _ in range(30):
            pitches = [strings[s] + rng.choice(frets) for s, frets in choices]
            # Each higher string sounds higher: the common shapes, and no unisons.
            if any(a >= b for a, b in zip(pitches, pitches[1:])):
                continue
            if not needed_pcs <= {p % 12 for p in pitches}:
                continue
            # Root in the bass most of the time, inversions now and then.
            if pitches[0] % 12 != root and rng.random() < 0.7:
                continue
            if playable(pitches, family, window):
                return sorted(pitches), quality
    return None


def keyboard_chord(rng, window, n, qualities):
    """A chord of n distinct pitches for a keyboard: chord tones stacked upwards from a bass
    note with gaps of up to an octave, within the window and about two and a half octaves."""
    for _ in range(400):
        quality = rng.choice(qualities)
        pcs, needed = QUALITIES[quality]
        if n < len(needed):
            continue
        root = rng.randrange(12)
        chord_pcs = sorted({(root + i) % 12 for i in pcs})
        bass = rng.randrange(window[0], window[1] - 11)
        bass += (root - bass) % 12 if rng.random() < 0.7 else (rng.choice(chord_pcs) - bass) % 12
        notes = [bass]
        while len(notes) < n:
            step = rng.choice([1, 1, 1, 2, 2, 3])  # skip to the 1st, 2nd or 3rd chord tone above
            p = notes[-1]
            while step:
                p += 1
                if p % 12 in chord_pcs:
                    step -= 1
            notes.append(p)
        if notes[-1] > window[1] or notes[-1] - notes[0] > 30:
            continue
        if {(root + i) % 12 for i in needed} <= {p % 12 for p in notes}:
            return notes, quality
    return None


def make_chord(rng, family, window, n, qualities):
    if family in FRETBOARDS:
        return fretted_chord(rng, family, window, n, qualities)
    return keyboard_chord(rng, window, n, qualities)


def make_interval(rng, family, window):
    sizes = [s for s in INTERVAL_WEIGHTS if s <= window[1] - window[0]]
    weights = [INTERVAL_WEIGHTS[s] for s in sizes]
    for _ in range(400):
        size = rng.choices(sizes, weights)[0]
        low = rng.randint(window[0], window[1] - size)
        pitches = [low, low + size]
        if playable(pitches, family, window):
            return pitches, "interval %d" % size
    raise RuntimeError("no playable interval in window %s" % (window,))


class Example:
    def __init__(self, name, instrument, kind):
        self.name = name
        self.instrument = instrument
        self.kind = kind
        self.notes = []   # dicts: midi, on, off, velocity (seconds from the example start)
        self.events = []  # one description per musical event
        self.duration = 0.0

    def polyphony(self):
        edges = sorted([(n["on"], 1) for n in self.notes] + [(n["off"], -1) for n in self.notes],
                       key=lambda e: (e[0], e[1]))
        level = peak = 0
        for _, d in edges:
            level += d
            peak = max(peak, level)
        return peak


def velocity(rng, args, base=None):
    """An event's velocity from --velocity, or a note's: the event's give or take 8."""
    if base is None:
        return rng.randint(args.velocity[0], args.velocity[1])
    return max(1, min(127, base + rng.randint(-8, 8)))


def add_chord_event(ex, rng, t, pitches, label, args):
    dur = round(rng.uniform(args.min_dur, args.max_dur), 3)
    strummed = len(pitches) > 1 and rng.random() < args.strum
    spread = rng.uniform(0.010, 0.040) if strummed else 0.0
    vel = velocity(rng, args)
    # A strum sweeps from the lowest string to the highest; all strings are damped together.
    step = spread / (len(pitches) - 1) if len(pitches) > 1 else 0.0
    for i, p in enumerate(sorted(pitches)):
        ex.notes.append({"midi": p, "on": round(t + i * step, 3), "off": round(t + dur, 3),
                         "velocity": velocity(rng, args, vel) if len(pitches) > 1 else vel})
    ex.events.append({"on": round(t, 3), "what": label, "pitches": sorted(pitches),
                      "strummed": strummed, "strumSpread": round(spread, 3)})
    return t + dur


def add_arpeggio_event(ex, rng, t, pitches, label, args):
    """Chord tones one after another. Let ring: every note sounds until a common end (guitar
    style, polyphony grows). Detached: each note stops before the next one starts; the pattern
    may then go up and down again, since no pitch is held twice at once."""
    ring = rng.random() < 0.6
    order = sorted(pitches)
    pattern = rng.choice(["up", "down"] if ring else ["up", "down", "updown"])
    if pattern == "down":
        order = order[::-1]
    elif pattern == "updown":
        order = order + order[-2:0:-1]
    ioi = rng.uniform(0.12, 0.35)
    vel = velocity(rng, args)
    last_on = t + ioi * (len(order) - 1)
    end = last_on + rng.uniform(max(args.min_dur, 0.3), args.max_dur)
    for i, p in enumerate(order):
        on = t + i * ioi
        off = end if ring else (on + ioi * rng.uniform(0.6, 0.95) if i < len(order) - 1 else end)
        ex.notes.append({"midi": p, "on": round(on, 3), "off": round(off, 3),
                         "velocity": velocity(rng, args, vel)})
    ex.events.append({"on": round(t, 3), "what": label, "pitches": sorted(pitches),
                      "pattern": pattern, "letRing": ring, "interOnset": round(ioi, 3)})
    return end


def make_example(rng, name, instrument, kind, args):
    program, _, family = INSTRUMENTS[instrument]
    window = pitch_window(family, args.range)
    ex = Example(name, instrument, kind)
    t = rng.uniform(*PRE_ROLL)
    n_events = rng.randint(args.events[0], args.events[1])
    for e in range(n_events):
        if e:
            t += rng.uniform(args.gap[0], args.gap[1])
        if kind == "single":
            p = rng.randint(window[0], window[1])
            t = add_chord_event(ex, rng, t, [p], "single", args)
        elif kind == "interval":
            pitches, label = make_interval(rng, family, window)
            t = add_chord_event(ex, rng, t, pitches, label, args)
        else:
            if kind == "triad":
                n, qualities = 3, TRIAD_QUALITIES
            elif kind == "voicing":
                top = min(6, len(FRETBOARDS[family][0])) if family in FRETBOARDS else 6
                n, qualities = rng.randint(min(4, top), top), tuple(QUALITIES)
            else:  # arpeggio over a triad or a larger chord
                top = min(6, len(FRETBOARDS[family][0])) if family in FRETBOARDS else 6
                n, qualities = rng.randint(3, top), tuple(QUALITIES)
            chord = make_chord(rng, family, window, n, qualities)
            if chord is None:
                raise RuntimeError("no %d-note chord for %s in window %s" % (n, instrument, window))
            pitches, quality = chord
            if kind == "arpeggio":
                t = add_arpeggio_event(ex, rng, t, pitches, quality, args)
            else:
                t = add_chord_event(ex, rng, t, pitches, quality, args)
    ex.duration = round(t + TAIL, 2)
    ex.notes.sort(key=lambda n: (n["on"], n["midi"]))
    return ex


def pitch_window(family, override):
    lo, hi = PLAYABLE_RANGE[family]
    want = override if override else DEFAULT_RANGE[family]
    window = (max(lo, want[0]), min(hi, want[1]))
    if window[1] - window[0] < 12:
        raise SystemExit("error: pitch range %s leaves less than an octave for %s (plays %d..%d)"
                         % (tuple(want), family, lo, hi))
    return window


# ---------------------------------------------------------------------------------------------
# Rendering


def chunk_midi(examples, program):
    """Lays the examples end to end. Returns (MIDI bytes, start second of each example)."""
    events = [(0, 1, bytes([0xC0 | CHANNEL, program - 1])),
              (0, 1, bytes([0xB0 | CHANNEL, 7, 100])),   # channel volume
              (0, 1, bytes([0xB0 | CHANNEL, 10, 64]))]   # centred pan
    starts = []
    cursor = 0.5  # the synthesiser's first block starts cleanly after a little silence
    for ex in examples:
        starts.append(cursor)
        base = int(round(cursor * TICKS_PER_SECOND))
        for n in ex.notes:
            on = base + int(round(n["on"] * TICKS_PER_SECOND))
            off = base + int(round(n["off"] * TICKS_PER_SECOND))
            # Order within a tick: note-offs before note-ons, so touching notes retrigger.
            events.append((on, 3, bytes([0x90 | CHANNEL, n["midi"], n["velocity"]])))
            events.append((off, 2, bytes([0x80 | CHANNEL, n["midi"], 0])))
        stop = base + int(round(ex.duration * TICKS_PER_SECOND))
        events.append((stop, 4, bytes([0xB0 | CHANNEL, 120, 0])))  # all sound off: cut tails
        cursor = round(cursor + ex.duration + EXAMPLE_GAP, 3)
    end = int(round((cursor + 0.5) * TICKS_PER_SECOND))
    return midi_file_bytes(events, end), starts


def render_chunk(job):
    """Renders one chunk with fluidsynth and cuts it into the examples' WAV files."""
    examples, program, soundfont, args, tmp, tag = job
    mid_path = os.path.join(tmp, tag + ".mid")
    wav_path = os.path.join(tmp, tag + ".wav")
    data, starts = chunk_midi(examples, program)
    with open(mid_path, "wb") as f:
        f.write(data)
    cmd = ["fluidsynth", "-ni", "-q", "-R", "0", "-C", "0", "-g", str(args.gain),
           "-r", str(args.rate), "-F", wav_path, soundfont, mid_path]
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0 or not os.path.exists(wav_path):
        raise RuntimeError("fluidsynth failed (%d): %s\n%s" % (r.returncode, " ".join(cmd),
                                                              r.stderr.strip()))
    peaks = []
    with wave.open(wav_path, "rb") as src:
        rate, width, channels = src.getframerate(), src.getsampwidth(), src.getnchannels()
        frames = src.readframes(src.getnframes())
    bytes_per_frame = width * channels
    total = len(frames) // bytes_per_frame
    for ex, start in zip(examples, starts):
        a = int(round(start * rate))
        b = a + int(round(ex.duration * rate))
        if b > total:
            raise RuntimeError("render of %s is shorter than its examples" % tag)
        with wave.open(os.path.join(args.out, ex.name + ".wav"), "wb") as dst:
            dst.setnchannels(channels)
            dst.setsampwidth(width)
            dst.setframerate(rate)
            dst.writeframes(frames[a * bytes_per_frame:b * bytes_per_frame])
        peaks.append(peak_of(frames[a * bytes_per_frame:b * bytes_per_frame], width))
    os.remove(wav_path)
    return peaks


def peak_of(raw, width):
    """Peak level of 16-bit PCM as a share of full scale (None for other sample formats)."""
    if width != 2 or not raw:
        return None
    samples = array.array("h")
    samples.frombytes(raw)
    if sys.byteorder != "little":
        samples.byteswap()
    return max(max(samples), -min(samples)) / 32768.0


# ---------------------------------------------------------------------------------------------


def parse_list(text, allowed, groups=None):
    out = []
    for item in [x.strip() for x in text.split(",") if x.strip()]:
        if groups and item in groups:
            out.extend(groups[item])
        elif item in allowed:
            out.append(item)
        else:
            choices = sorted(allowed) + sorted(groups or [])
            raise SystemExit("error: unknown name %r (choose from %s)" % (item, ", ".join(choices)))
    return list(dict.fromkeys(out))


def build_examples(args):
    """All examples of the set, deterministic in (seed, instrument): adding or dropping an
    instrument leaves the other instruments' material unchanged."""
    plan = []
    for instrument in args.instruments:
        family = INSTRUMENTS[instrument][2]
        kinds = args.kinds or list(DEFAULT_KINDS[family])
        rng = random.Random("%d/%s" % (args.seed, instrument))
        # Kinds in equal shares, shuffled in blocks so every prefix of the set stays balanced.
        order = []
        while len(order) < args.count:
            block = list(kinds)
            rng.shuffle(block)
            order.extend(block)
        for i, kind in enumerate(order[:args.count]):
            name = "%s-%03d-%s" % (instrument, i, kind)
            plan.append(make_example(rng, name, instrument, kind, args))
    return plan


def label(ex, args, soundfont):
    program, gm_name, family = INSTRUMENTS[ex.instrument]
    return {
        "name": ex.name,
        "wav": ex.name + ".wav",
        "sampleRate": args.rate,
        "duration": ex.duration,
        "instrument": {"name": ex.instrument, "program": program, "gmName": gm_name,
                       "family": family},
        "kind": ex.kind,
        "polyphony": ex.polyphony(),
        "strummed": any(e.get("strummed") for e in ex.events),
        "soundfont": args.soundfont,
        "notes": ex.notes,
        "events": ex.events,
    }


def main(argv=None):
    p = argparse.ArgumentParser(
        description="Render a labelled note-detection test set with fluidsynth.",
        epilog="Instrument names: %s; groups: %s. FluidR3_GM (--soundfont fluid) is the only "
               "soundfont for tuning or training; TimGM6mb (--soundfont timgm) is for "
               "evaluation only." % (", ".join(INSTRUMENTS), ", ".join(GROUPS)))
    p.add_argument("--out", required=True, help="output directory (created; files are replaced)")
    p.add_argument("--soundfont", choices=sorted(SOUNDFONTS), default="fluid")
    p.add_argument("--instruments", default="all",
                   help="comma-separated instrument names or groups (default: all)")
    p.add_argument("--count", type=int, default=20, help="examples per instrument (default 20)")
    p.add_argument("--kinds", default=None,
                   help="comma-separated material kinds (%s); default: all for guitar and "
                        "piano, single,interval,arpeggio for bass" % ",".join(KINDS))
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--range", type=int, nargs=2, metavar=("LO", "HI"), default=None,
                   help="MIDI pitch window for all instruments, clipped to what each can play "
                        "(default: guitar and piano 40..84, bass 28..60)")
    p.add_argument("--events", type=int, nargs=2, metavar=("MIN", "MAX"), default=(1, 3),
                   help="musical events per example (default 1 3)")
    p.add_argument("--min-dur", type=float, default=0.3, help="shortest event, seconds")
    p.add_argument("--max-dur", type=float, default=2.0, help="longest event, seconds")
    p.add_argument("--gap", type=float, nargs=2, metavar=("MIN", "MAX"), default=(0.1, 0.5),
                   help="silence between events, seconds (default 0.1 0.5)")
    p.add_argument("--strum", type=float, default=0.5,
                   help="probability that a chord or interval is strummed (default 0.5)")
    p.add_argument("--velocity", type=int, nargs=2, metavar=("MIN", "MAX"), default=(40, 120),
                   help="MIDI velocity range of the events (default 40 120)")
    p.add_argument("--gain", type=float, default=0.6, help="fluidsynth master gain (default 0.6)")
    p.add_argument("--rate", type=int, default=44100)
    p.add_argument("--chunk", type=int, default=40,
                   help="examples per fluidsynth run (default 40)")
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 2,
                   help="fluidsynth processes at once (default: number of CPUs)")
    p.add_argument("--dry-run", action="store_true",
                   help="write the labels and index only, render nothing")
    args = p.parse_args(argv)

    args.instruments = parse_list(args.instruments, INSTRUMENTS, GROUPS)
    args.kinds = parse_list(args.kinds, KINDS) if args.kinds else None
    if args.count < 1 or args.chunk < 1 or args.jobs < 1:
        p.error("--count, --chunk and --jobs must be positive")
    if not 0 < args.min_dur <= args.max_dur:
        p.error("need 0 < --min-dur <= --max-dur")
    if args.events[0] < 1 or args.events[0] > args.events[1]:
        p.error("need 1 <= MIN <= MAX for --events")
    if args.gap[0] < 0 or args.gap[0] > args.gap[1]:
        p.error("need 0 <= MIN <= MAX for --gap")
    if not 1 <= args.velocity[0] <= args.velocity[1] <= 127:
        p.error("need 1 <= MIN <= MAX <= 127 for --velocity")

    soundfont = SOUNDFONTS[args.soundfont]
    if not args.dry_run:
        if not os.path.exists(soundfont):
            raise SystemExit("error: %s is missing (Debian package %s)"
                             % (soundfont, SOUNDFONT_PACKAGES[args.soundfont]))
        if shutil.which("fluidsynth") is None:
            raise SystemExit("error: fluidsynth is not installed (Debian package fluidsynth)")

    started = time.monotonic()
    examples = build_examples(args)
    os.makedirs(args.out, exist_ok=True)

    peaks = {}
    if not args.dry_run:
        jobs = []
        tmp = tempfile.mkdtemp(prefix="orvex-testset-")
        try:
            for instrument in args.instruments:
                mine = [e for e in examples if e.instrument == instrument]
                program = INSTRUMENTS[instrument][0]
                for c in range(0, len(mine), args.chunk):
                    part = mine[c:c + args.chunk]
                    jobs.append((part, program, soundfont, args, tmp,
                                 "%s-%03d" % (instrument, c // args.chunk)))
            with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
                for job, job_peaks in zip(jobs, pool.map(render_chunk, jobs)):
                    for ex, peak in zip(job[0], job_peaks):
                        peaks[ex.name] = peak
        finally:
            shutil.rmtree(tmp, ignore_errors=True)

    index = []
    for ex in examples:
        lab = label(ex, args, soundfont)
        if ex.name in peaks:
            lab["peak"] = peaks[ex.name]
        with open(os.path.join(args.out, ex.name + ".json"), "w") as f:
            json.dump(lab, f, indent=1)
        index.append({k: lab[k] for k in ("name", "wav", "duration", "kind", "polyphony")}
                     | {"instrument": ex.instrument, "program": lab["instrument"]["program"],
                        "label": ex.name + ".json"})
    clipped = sorted(n for n, pk in peaks.items() if pk is not None and pk >= 0.999)
    meta = {
        "generator": "tools/testset/generate_testset.py",
        "soundfont": args.soundfont,
        "soundfontPath": soundfont,
        "evaluationOnly": args.soundfont != "fluid",
        "seed": args.seed,
        "sampleRate": args.rate,
        "gain": args.gain,
        "range": list(args.range) if args.range else None,
        "instruments": args.instruments,
        "kinds": args.kinds,
        "count": args.count,
        "rendered": not args.dry_run,
        "clipped": clipped,
        "examples": index,
    }
    with open(os.path.join(args.out, "index.json"), "w") as f:
        json.dump(meta, f, indent=1)

    seconds = sum(e.duration for e in examples)
    print("%d examples, %.0f s of audio, %s soundfont%s, in %.1f s -> %s"
          % (len(examples), seconds, args.soundfont,
             " (labels only)" if args.dry_run else "", time.monotonic() - started, args.out))
    if clipped:
        print("warning: %d examples reach full scale (lower --gain): %s"
              % (len(clipped), ", ".join(clipped[:5]) + (" ..." if len(clipped) > 5 else "")))
    if meta["evaluationOnly"]:
        print("note: %s sets are for evaluation only, never for tuning or training"
              % args.soundfont)
    return 0


if __name__ == "__main__":
    sys.exit(main())
