#!/usr/bin/python3
"""The test-set tools end to end: generate_testset.py renders a small labelled set with
fluidsynth, evaluate.py runs it through orvex-render and scores the reports.

Detection quality is not checked here (the figures depend on the detector); the scoring itself
is checked on hand-made reports with known answers, and through a stand-in renderer that
reports the labelled notes exactly, or an octave too high.

usage: testset_smoke_test.py ORVEX_RENDER
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np
from scipy.io import wavfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOLS = os.path.join(ROOT, "tools", "testset")
GENERATE = os.path.join(TOOLS, "generate_testset.py")
EVALUATE = os.path.join(TOOLS, "evaluate.py")
sys.path.insert(0, TOOLS)
import evaluate  # noqa: E402
import generate_testset  # noqa: E402

RENDER = None
PYTHON = "/usr/bin/python3"

# Reports like the renderer's, but made from the label next to the input: "exact" gives the
# labelled notes, "octave" the notes 12 semitones above them that are not sounding themselves,
# "fail" exits as on a bad input. The command line is appended to $FAKE_ARGS_LOG.
FAKE_RENDERER = r'''#!/usr/bin/python3
import json, os, sys
args = sys.argv[1:]
with open(os.environ["FAKE_ARGS_LOG"], "a") as f:
    f.write(json.dumps(args) + "\n")
mode = os.environ["FAKE_MODE"]
if mode == "fail":
    print("error: cannot read input", file=sys.stderr)
    sys.exit(2)
report = args[args.index("--report") + 1]
inp, out = args[-2], args[-1]
label = json.load(open(inp[:-4] + ".json"))
frames, k = [], 0
while k * 1024 / 44100 < label["duration"]:
    t = (k * 1024 + 2048) / 44100
    notes = {n["midi"] for n in label["notes"] if n["on"] <= t < n["off"]}
    if mode == "octave":
        notes = {m + 12 for m in notes} - notes
    notes = sorted(notes)
    frames.append({"t": t, "notes": notes, "engine": 1, "chord": "?"})
    k += 1
json.dump({"sampleRate": 44100, "fftSize": 4096, "hop": 1024, "latency": 4096,
           "frames": frames}, open(report, "w"))
open(out, "wb").close()
'''


def run_tool(script, *args):
    return subprocess.run([PYTHON, script, *args], capture_output=True, text=True, timeout=120)


def max_overlap(notes):
    edges = sorted([(n["on"], 1) for n in notes] + [(n["off"], -1) for n in notes])
    level = peak = 0
    for _, d in edges:
        level += d
        peak = max(peak, level)
    return peak


# One hand-made example: two notes from 0.5 s, a third from 1.0 s, all off at 1.5 s.
LABEL = {"name": "hand", "duration": 2.0, "kind": "triad", "polyphony": 3,
         "instrument": {"name": "nylon", "program": 25},
         "notes": [{"midi": 40, "on": 0.5, "off": 1.5, "velocity": 90},
                   {"midi": 52, "on": 0.5, "off": 1.5, "velocity": 90},
                   {"midi": 55, "on": 1.0, "off": 1.5, "velocity": 90}]}
REPORT = {"sampleRate": 44100, "hop": 1024, "key": "C",
          "frames": [
              {"t": 0.2, "notes": []},                          # silence, nothing found
              {"t": 0.52, "notes": [40]},                       # 20 ms after the onsets
              {"t": 0.8, "notes": [40, 52, 64]},                # 64: octave and overtone
              {"t": 0.98, "notes": [28]},                       # an octave below, 20 ms early
              {"t": 1.2, "notes": [40, 52, 55, 59, 67]},        # 59: 19 up; 67: 12 up
              {"t": 1.7, "notes": [40], "chord": "E5"},         # rings after the offsets
              {"t": 2.5, "notes": [40]},                        # past the end: not scored
          ]}


class Scoring(unittest.TestCase):
    def test_hand_made_report(self):
        # (note range, mode, frames, tp, fp, fn, octave fps, overtone fps)
        cases = [
            (None, "all", 6, 6, 5, 3, 3, 3),
            (None, "steady", 4, 5, 4, 0, 2, 3),
            # Without note 40 the 28 is out of range, yet 59 still counts as 40's overtone.
            ((41, 84), "all", 6, 3, 3, 2, 2, 3),
            ((41, 84), "steady", 4, 3, 3, 0, 2, 3),
        ]
        for note_range, mode, frames, tp, fp, fn, octv, ovt in cases:
            with self.subTest(range=note_range, mode=mode):
                totals, _, _ = evaluate.score_file(LABEL, REPORT, 0.05, note_range)
                m = totals[mode].metrics()
                self.assertEqual((m["frames"], m["tp"], m["fp"], m["fn"], m["fpOctave"],
                                  m["fpOvertone"]), (frames, tp, fp, fn, octv, ovt))
                self.assertAlmostEqual(m["precision"], tp / (tp + fp))
                self.assertAlmostEqual(m["recall"], tp / (tp + fn))
                self.assertAlmostEqual(m["f1"], 2 * tp / (2 * tp + fp + fn))
                self.assertAlmostEqual(m["octaveErrorRate"], octv / fp)
                self.assertAlmostEqual(m["overtoneFpRate"], ovt / fp)

    def test_frame_polyphony_groups(self):
        _, by_poly, engines = evaluate.score_file(LABEL, REPORT)
        got = {p: (t["all"].frames, t["all"].tp, t["all"].fp) for p, t in by_poly.items()}
        self.assertEqual(got, {"0": (2, 0, 1), "2": (3, 3, 2), "3": (1, 3, 2)})
        self.assertEqual(engines, {"None": 6})

    def test_note_activity_and_steady_edges(self):
        label = {"duration": 3.0, "notes": [{"midi": 60, "on": 1.0, "off": 2.0}]}
        # (frame time, note counts as sounding, frame is steady)
        cases = [(0.949, False, True), (0.999, False, False), (1.0, True, False),
                 (1.051, True, True), (1.999, True, False), (2.0, False, False),
                 (2.051, False, True)]
        for t, sounding, steady in cases:
            with self.subTest(t=t):
                report = {"frames": [{"t": t, "notes": [60]}]}
                totals, _, _ = evaluate.score_file(label, report, 0.05)
                self.assertEqual((totals["all"].tp, totals["all"].fp),
                                 (1, 0) if sounding else (0, 1))
                self.assertEqual(totals["steady"].frames, 1 if steady else 0)

    def test_undefined_figures_are_null(self):
        silent = {"duration": 1.0, "notes": []}
        m = evaluate.score_file(silent, {"frames": [{"t": 0.5, "notes": []}]})[0]["all"].metrics()
        self.assertEqual((m["frames"], m["precision"], m["recall"], m["f1"],
                          m["octaveErrorRate"]), (1, None, None, None, None))
        missed = evaluate.score_file(LABEL, {"frames": [{"t": 1.2, "notes": []}]})[0]["all"]
        m = missed.metrics()
        self.assertEqual((m["precision"], m["recall"], m["f1"]), (None, 0.0, 0.0))

    def test_malformed_reports_are_rejected(self):
        cases = {
            "no frames": {"hop": 1024},
            "frames not a list": {"frames": {}},
            "frame not an object": {"frames": [[0.1, [40]]]},
            "time missing": {"frames": [{"notes": [40]}]},
            "time as text": {"frames": [{"t": "0.1", "notes": [40]}]},
            "time as bool": {"frames": [{"t": True, "notes": [40]}]},
            "notes missing": {"frames": [{"t": 0.1}]},
            "note as float": {"frames": [{"t": 0.1, "notes": [40.0]}]},
            "note as name": {"frames": [{"t": 0.1, "notes": ["E2"]}]},
        }
        for what, report in cases.items():
            with self.subTest(what):
                with self.assertRaises(evaluate.ReportError):
                    evaluate.score_file(LABEL, report)


def read_smf(data):
    """(tick, status, data1, data2) of every channel event in a format-0 SMF, and its division."""
    assert data[:4] == b"MThd"
    fmt, ntracks, division = int.from_bytes(data[8:10], "big"), \
        int.from_bytes(data[10:12], "big"), int.from_bytes(data[12:14], "big")
    assert (fmt, ntracks) == (0, 1) and data[14:18] == b"MTrk"
    end = 22 + int.from_bytes(data[18:22], "big")
    assert end == len(data)
    pos, tick, events = 22, 0, []

    def vlq():
        nonlocal pos
        n = 0
        while True:
            b = data[pos]
            pos += 1
            n = (n << 7) | (b & 0x7F)
            if not b & 0x80:
                return n

    while pos < end:
        tick += vlq()
        status = data[pos]
        if status == 0xFF:
            kind = data[pos + 1]
            pos += 2
            size = vlq()
            pos += size
            events.append((tick, 0xFF, kind, None))
        else:
            size = 2 if status & 0xF0 == 0xC0 else 3
            events.append((tick, status, data[pos + 1], data[pos + 2] if size == 3 else None))
            pos += size
    return events, division


class Generator(unittest.TestCase):
    """Labels only (--dry-run): fast, and what every rendered set is cut from."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orvex-testset-gen-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def generate(self, out, *args):
        r = run_tool(GENERATE, "--out", os.path.join(self.dir, out), "--dry-run", *args)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(self.dir, out, "index.json")) as f:
            index = json.load(f)
        labels = {}
        for e in index["examples"]:
            with open(os.path.join(self.dir, out, e["label"])) as f:
                labels[e["name"]] = json.load(f)
        return index, labels

    def test_labels_describe_playable_material(self):
        # The default set, and events that follow each other without a gap (touching notes).
        for out, args, count in (("a", ["--count", "15", "--seed", "3"], 150),
                                 ("b", ["--count", "10", "--gap", "0", "0",
                                        "--instruments", "steel,finger-bass"], 20)):
            with self.subTest(args=args):
                index, labels = self.generate(out, *args)
                self.assertEqual(len(labels), count)
                self.check_labels(labels)
                self.assertFalse(index["evaluationOnly"])

    def check_labels(self, labels):
        notes_per_event = {"single": (1, 1), "interval": (2, 2), "triad": (3, 3),
                           "voicing": (4, 6), "arpeggio": (3, 6)}
        windows = {"guitar": (40, 84), "piano": (40, 84), "bass": (28, 63), "keys": (40, 84)}
        for name, lab in labels.items():
            with self.subTest(name):
                family = lab["instrument"]["family"]
                notes = lab["notes"]
                self.assertTrue(notes)
                self.assertEqual(lab["polyphony"], max_overlap(notes))
                lo, hi = windows[family]
                for n in notes:
                    self.assertTrue(lo <= n["midi"] <= hi, n)
                    self.assertTrue(0 < n["on"] < n["off"] < lab["duration"], n)
                    self.assertTrue(1 <= n["velocity"] <= 127, n)
                # One channel cannot hold a pitch twice: same-pitch notes must not overlap.
                by_pitch = {}
                for n in sorted(notes, key=lambda n: n["on"]):
                    self.assertGreaterEqual(n["on"], by_pitch.get(n["midi"], -1.0), n)
                    by_pitch[n["midi"]] = n["off"]
                low, high = notes_per_event[lab["kind"]]
                for ev in lab["events"]:
                    self.assertTrue(low <= len(set(ev["pitches"])) <= high, ev)
                    if ev.get("strummed"):
                        self.assertTrue(0.010 <= ev["strumSpread"] <= 0.040, ev)
                        ons = sorted(n["on"] for n in notes if n["midi"] in ev["pitches"]
                                     and abs(n["on"] - ev["on"]) < 0.05)
                        self.assertGreater(ons[-1], ons[0])
        families = {lab["instrument"]["family"] for lab in labels.values()}
        kinds = {lab["kind"] for lab in labels.values()}
        self.assertEqual(kinds, set(notes_per_event) if families != {"bass"} else
                         {"single", "interval", "arpeggio"})

    def test_midi_file_carries_the_labels(self):
        # Two examples; in the first the same pitch is struck again the moment it stops, so
        # its note-off must come first, or the synthesiser would cut the new note.
        a = generate_testset.Example("a", "jazz", "single")
        a.notes = [{"midi": 60, "on": 0.25, "off": 0.5, "velocity": 70},
                   {"midi": 60, "on": 0.5, "off": 1.375, "velocity": 100}]
        a.duration = 2.18
        b = generate_testset.Example("b", "jazz", "interval")
        b.notes = [{"midi": 45, "on": 0.3, "off": 200.0, "velocity": 127},
                   {"midi": 88, "on": 0.3, "off": 0.301, "velocity": 1}]
        b.duration = 201.0
        data, starts = generate_testset.chunk_midi([a, b], 27)
        events, division = read_smf(data)
        self.assertEqual(division, generate_testset.TICKS_PER_SECOND)
        self.assertEqual(events[-1][1:3], (0xFF, 0x2F))  # end of track last
        self.assertIn((0, 0xC0, 26, None), events)  # GM program 27 is byte 26
        self.assertIn((0, 0xFF, 0x51, None), events)  # tempo
        ms = generate_testset.TICKS_PER_SECOND
        want = []
        for ex, start in zip([a, b], starts):
            for n in ex.notes:
                want.append((round((start + n["on"]) * ms), 0x90, n["midi"], n["velocity"]))
                want.append((round((start + n["off"]) * ms), 0x80, n["midi"], 0))
            want.append((round((start + ex.duration) * ms), 0xB0, 120, 0))  # all sound off
        got = [e for e in events if e[1] in (0x80, 0x90) or e[1:3] == (0xB0, 120)]
        self.assertEqual(sorted(got), sorted(want))
        self.assertEqual([e[1] for e in got if e[0] == round((starts[0] + 0.5) * ms)],
                         [0x80, 0x90])
        self.assertGreaterEqual(starts[1], starts[0] + a.duration)
        self.assertEqual([e[0] for e in events], sorted(e[0] for e in events))

    def test_same_seed_same_set_and_instruments_independent(self):
        _, a = self.generate("a", "--count", "6", "--instruments", "nylon,piano", "--seed", "9")
        _, b = self.generate("b", "--count", "6", "--instruments", "nylon,piano", "--seed", "9")
        _, c = self.generate("c", "--count", "6", "--instruments", "piano", "--seed", "9")
        _, d = self.generate("d", "--count", "6", "--instruments", "piano", "--seed", "10")
        self.assertEqual(a, b)
        piano = {k: v for k, v in a.items() if k.startswith("piano")}
        self.assertEqual(piano, c)
        self.assertNotEqual(c, d)

    def test_extra_instruments_and_velocity_range(self):
        # The "extras" group (not part of "all": the default set above stays at ten
        # instruments), with velocities drawn from 20..30: a chord's notes vary by up to 8.
        index, labels = self.generate("e", "--count", "5", "--instruments", "extras",
                                      "--velocity", "20", "30")
        self.assertEqual(len(labels), 25)
        self.check_labels(labels)
        self.assertEqual({lab["instrument"]["name"] for lab in labels.values()},
                         {"pick-bass", "electric-piano", "harpsichord", "vibraphone", "harp"})
        velocities = [n["velocity"] for lab in labels.values() for n in lab["notes"]]
        self.assertTrue(12 <= min(velocities) and max(velocities) <= 38, velocities)

    def test_range_and_soundfont_flags(self):
        index, labels = self.generate("w", "--count", "20", "--instruments", "clean",
                                      "--range", "30", "100", "--soundfont", "timgm")
        pitches = [n["midi"] for lab in labels.values() for n in lab["notes"]]
        self.assertTrue(min(pitches) >= 40 and max(pitches) <= 88)  # what a guitar can play
        self.assertGreater(max(pitches), 84)
        self.assertTrue(index["evaluationOnly"])
        self.assertTrue(index["soundfontPath"].endswith("TimGM6mb.sf2"))

    def test_bad_arguments(self):
        for args in (["--instruments", "banjo"], ["--kinds", "cluster"],
                     ["--min-dur", "2", "--max-dur", "1"], ["--range", "60", "65"],
                     ["--velocity", "0", "10"], ["--velocity", "90", "80"]):
            with self.subTest(args=args):
                r = run_tool(GENERATE, "--out", os.path.join(self.dir, "x"), "--dry-run", *args)
                self.assertNotEqual(r.returncode, 0)
                self.assertFalse(os.path.exists(os.path.join(self.dir, "x", "index.json")))


class EndToEnd(unittest.TestCase):
    """A rendered set of six examples, scored through the real renderer and a stand-in."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="orvex-testset-e2e-")
        cls.set = os.path.join(cls.dir, "set")
        r = run_tool(GENERATE, "--out", cls.set, "--soundfont", "fluid", "--count", "3",
                     "--instruments", "steel,piano", "--kinds", "single,voicing,arpeggio",
                     "--events", "1", "2", "--max-dur", "0.8", "--seed", "5")
        if r.returncode != 0:
            raise RuntimeError("generate_testset.py failed:\n" + r.stderr)
        with open(os.path.join(cls.set, "index.json")) as f:
            cls.index = json.load(f)
        cls.labels = []
        for e in cls.index["examples"]:
            with open(os.path.join(cls.set, e["label"])) as f:
                cls.labels.append(json.load(f))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def evaluate(self, *args, renderer=None):
        out = os.path.join(self.dir, "result.json")
        if os.path.exists(out):
            os.remove(out)
        r = run_tool(EVALUATE, self.set, "--renderer", renderer or RENDER, "--json", out, *args)
        result = None
        if r.returncode == 0:
            with open(out) as f:
                result = json.load(f)
        return r, result

    def fake(self, mode):
        path = os.path.join(self.dir, "fake-render")
        with open(path, "w") as f:
            f.write(FAKE_RENDERER)
        os.chmod(path, 0o755)
        log = os.path.join(self.dir, "args-%s.log" % mode)
        os.environ["FAKE_MODE"] = mode
        os.environ["FAKE_ARGS_LOG"] = log
        return path, log

    def test_rendered_files_match_their_labels(self):
        self.assertEqual(len(self.labels), 6)
        self.assertEqual(self.index["clipped"], [])
        for lab in self.labels:
            with self.subTest(lab["name"]):
                rate, audio = wavfile.read(os.path.join(self.set, lab["wav"]))
                self.assertEqual(rate, 44100)
                self.assertAlmostEqual(len(audio) / rate, lab["duration"], delta=1e-3)
                level = np.abs(audio.astype(np.float64) / 32768).max(axis=1)
                first = min(n["on"] for n in lab["notes"])
                # Silent until the first labelled onset (no tail of the example before it in
                # the chunk) and sounding within 20 ms of it: the cut matches the labels.
                self.assertEqual(level[:int(first * rate)].max(), 0.0)
                self.assertGreater(level[int(first * rate):int((first + 0.02) * rate)].max(),
                                   1e-3)

    def test_real_renderer(self):
        r, result = self.evaluate("--keep-reports", os.path.join(self.dir, "reports"))
        self.assertEqual(r.returncode, 0, r.stderr + r.stdout)
        self.assertIn("steady frames", r.stdout)
        self.assertEqual(result["files"], 6)
        with open(os.path.join(self.dir, "reports", self.labels[0]["name"] + ".report.json")) as f:
            report = json.load(f)
        # "t" is in seconds of input time: the frames of the labelled spans are all scored.
        expected = sum(lab["duration"] for lab in self.labels) * 44100 / report["hop"]
        overall = result["overall"]
        self.assertAlmostEqual(overall["all"]["frames"], expected,
                               delta=0.05 * expected + 2 * len(self.labels))
        self.assertLess(overall["steady"]["frames"], overall["all"]["frames"])
        self.assertGreater(overall["all"]["tp"] + overall["all"]["fn"], 0)
        self.assertEqual(set(result["byInstrument"]), {"steel", "piano"})
        self.assertEqual(sum(g["all"]["frames"] for g in result["byInstrument"].values()),
                         overall["all"]["frames"])
        self.assertEqual(sum(g["all"]["frames"] for g in result["byFramePolyphony"].values()),
                         overall["all"]["frames"])
        groups = [overall] + [g for key in ("byInstrument", "byKind", "byPolyphony",
                                            "byFramePolyphony") for g in result[key].values()]
        for g in groups:
            for m in g.values():
                for key in ("precision", "recall", "f1", "octaveErrorRate", "overtoneFpRate"):
                    self.assertTrue(m[key] is None or 0.0 <= m[key] <= 1.0, (key, m))
                self.assertEqual(m["precision"] is None, m["tp"] + m["fp"] == 0, m)
                self.assertEqual(m["recall"] is None, m["tp"] + m["fn"] == 0, m)

    def test_stand_in_renderer_gives_known_figures(self):
        # (mode, precision, recall, octave share, overtone share) over all frames
        cases = [("exact", 1.0, 1.0, None, None), ("octave", 0.0, 0.0, 1.0, 1.0)]
        for mode, precision, recall, octave, overtone in cases:
            with self.subTest(mode):
                fake, log = self.fake(mode)
                r, result = self.evaluate("--set", "detection_engine=1", "--latency-mode", "1",
                                          renderer=fake)
                self.assertEqual(r.returncode, 0, r.stderr)
                m = result["overall"]["all"]
                self.assertEqual((m["precision"], m["recall"], m["octaveErrorRate"],
                                  m["overtoneFpRate"]), (precision, recall, octave, overtone))
                self.assertEqual(result["engineFrames"], {"1": m["frames"]})
                with open(log) as f:
                    calls = [json.loads(line) for line in f]
                self.assertEqual(len(calls), 6)
                for call in calls:
                    self.assertEqual(call[:2], ["--quiet", "--report"])
                    self.assertEqual(call[3:7], ["--set", "detection_engine=1",
                                                 "--latency-mode", "1"])
                    self.assertTrue(call[7].startswith(self.set))
                    # Reports and rendered audio live in a temporary folder that is removed.
                    self.assertFalse(os.path.exists(call[2]) or os.path.exists(call[8]))

    def test_renderer_failure_is_reported(self):
        fake, _ = self.fake("fail")
        r, result = self.evaluate(renderer=fake)
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot read input", r.stderr)
        self.assertIsNone(result)


if __name__ == "__main__":
    RENDER = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
