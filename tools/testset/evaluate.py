#!/usr/bin/python3
"""Frame-level evaluation of the note detector on a set made by generate_testset.py.

Every example WAV goes through the real renderer, which writes a JSON report of the notes it
detected in each STFT frame:

    orvex-render --quiet --report REPORT.json [--set ID=VALUE ...] INPUT OUTPUT

    {"sampleRate": 44100, "fftSize": 4096, "hop": 1024, "latency": 4096,
     "frames": [{"t": 0.0464, "notes": [40, 52, 55], "engine": 1}, ...]}

"t" is the centre of the analysed window in input time, so no latency correction is needed;
keys this script does not know are ignored. A frame's truth is the set of labelled notes with
on <= t < off. Since a note sounds a few milliseconds after its MIDI onset and its release rings
past the note-off, everything is scored twice: over all frames, and over the steady frames that
lie farther than the tolerance from every onset and offset in the file.

Figures are micro-averaged over frames (sums of true positives, false positives and misses):
precision, recall and F1, overall and per instrument, material kind, labelled polyphony of the
example and number of notes sounding in the frame. Two error shares describe the false
positives: octave errors (exactly 12 or 24 semitones from a note sounding in that frame, either
way) and overtones (+12, +19, +24, +28 or +31 above one, the 2nd to 6th harmonics). A figure
whose denominator is zero is reported as null.
"""

import argparse
import collections
import concurrent.futures
import json
import os
import subprocess
import sys
import tempfile
import time

OCTAVES = (12, 24)
OVERTONES = (12, 19, 24, 28, 31)
POLYPHONY_BUCKETS = ("1", "2", "3", "4", "5", "6+")
FRAME_POLYPHONY_BUCKETS = ("0",) + POLYPHONY_BUCKETS
MODES = ("all", "steady")

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_RENDERER = os.path.normpath(os.path.join(HERE, "..", "..", "build", "orvex-render"))


class ReportError(Exception):
    pass


class Tally:
    """Frame counts of one group; add() merges, metrics() gives the figures."""

    FIELDS = ("frames", "tp", "fp", "fn", "fpOctave", "fpOvertone")

    def __init__(self):
        for f in self.FIELDS:
            setattr(self, f, 0)

    def add(self, other):
        for f in self.FIELDS:
            setattr(self, f, getattr(self, f) + getattr(other, f))

    def metrics(self):
        def share(num, den):
            return num / den if den else None

        out = {f: getattr(self, f) for f in self.FIELDS}
        out["precision"] = share(self.tp, self.tp + self.fp)
        out["recall"] = share(self.tp, self.tp + self.fn)
        out["f1"] = share(2 * self.tp, 2 * self.tp + self.fp + self.fn)
        out["octaveErrorRate"] = share(self.fpOctave, self.fp)
        out["overtoneFpRate"] = share(self.fpOvertone, self.fp)
        return out


def bucket(n):
    return "6+" if n >= 6 else str(n)


def parse_report(report):
    """(t, notes) pairs of a renderer report, checked for the fields the evaluation needs."""
    if not isinstance(report, dict) or not isinstance(report.get("frames"), list):
        raise ReportError("report has no \"frames\" list")
    frames = []
    for i, fr in enumerate(report["frames"]):
        if not isinstance(fr, dict):
            raise ReportError("frame %d is not an object" % i)
        t, notes = fr.get("t"), fr.get("notes")
        if isinstance(t, bool) or not isinstance(t, (int, float)):
            raise ReportError("frame %d has no numeric \"t\"" % i)
        if not isinstance(notes, list) or not all(
                isinstance(n, int) and not isinstance(n, bool) for n in notes):
            raise ReportError("frame %d: \"notes\" is not a list of MIDI note numbers" % i)
        frames.append((float(t), notes, fr.get("engine")))
    return frames


def score_file(label, report, tolerance=0.05, note_range=None):
    """Scores one example. Returns {"all"|"steady": Tally}, {frame polyphony: {mode: Tally}}
    and a Counter of the engines the frames name.

    Frames outside the labelled duration are skipped. With note_range (lo, hi) only notes in
    it are counted as hits, misses and false positives; octave and overtone relations are
    still judged against every note sounding, since a bass note below the range can throw an
    overtone into it."""
    notes = label["notes"]
    duration = float(label["duration"])
    edges = sorted({n["on"] for n in notes} | {n["off"] for n in notes})

    def in_range(m):
        return note_range is None or note_range[0] <= m <= note_range[1]

    totals = {m: Tally() for m in MODES}
    by_poly = collections.defaultdict(lambda: {m: Tally() for m in MODES})
    engines = collections.Counter()
    for t, detected, engine in parse_report(report):
        if t < 0 or t >= duration:
            continue
        sounding = {n["midi"] for n in notes if n["on"] <= t < n["off"]}
        truth = {m for m in sounding if in_range(m)}
        found = {m for m in detected if in_range(m)}
        fps = found - truth
        frame = Tally()
        frame.frames = 1
        frame.tp = len(found & truth)
        frame.fp = len(fps)
        frame.fn = len(truth - found)
        frame.fpOctave = sum(1 for p in fps if any(abs(p - q) in OCTAVES for q in sounding))
        frame.fpOvertone = sum(1 for p in fps if any(p - q in OVERTONES for q in sounding))
        steady = all(abs(t - e) > tolerance for e in edges)
        poly = bucket(len(truth))
        for mode in MODES:
            if mode == "all" or steady:
                totals[mode].add(frame)
                by_poly[poly][mode].add(frame)
        engines[str(engine)] += 1
    return totals, dict(by_poly), engines


class Summary:
    """Tallies of every group over the files scored so far."""

    def __init__(self):
        self.groups = collections.defaultdict(lambda: {m: Tally() for m in MODES})
        self.files = []
        self.engines = collections.Counter()

    def add(self, label, totals, by_poly, engines):
        inst = label["instrument"]["name"]
        keys = [("overall", ""), ("instrument", inst), ("kind", label["kind"]),
                ("polyphony", bucket(int(label["polyphony"])))]
        for key in keys:
            for mode in MODES:
                self.groups[key][mode].add(totals[mode])
        for poly, tallies in by_poly.items():
            for mode in MODES:
                self.groups[("framePolyphony", poly)][mode].add(tallies[mode])
        self.engines.update(engines)
        self.files.append({"name": label["name"], "instrument": inst, "kind": label["kind"],
                           "polyphony": label["polyphony"],
                           **{mode: totals[mode].metrics() for mode in MODES}})

    def section(self, kind, order=None):
        names = [k[1] for k in self.groups if k[0] == kind]
        if order:
            names = [n for n in order if n in names] + sorted(n for n in names if n not in order)
        else:
            names.sort()
        return {n: {m: self.groups[(kind, n)][m].metrics() for m in MODES} for n in names}

    def to_json(self, meta, instrument_order=()):
        overall = self.groups[("overall", "")]
        return {
            **meta,
            "files": len(self.files),
            "engineFrames": dict(sorted(self.engines.items())),
            "overall": {m: overall[m].metrics() for m in MODES},
            "byInstrument": self.section("instrument", list(instrument_order)),
            "byKind": self.section("kind", ["single", "interval", "triad", "voicing",
                                            "arpeggio"]),
            "byPolyphony": self.section("polyphony", list(POLYPHONY_BUCKETS)),
            "byFramePolyphony": self.section("framePolyphony", list(FRAME_POLYPHONY_BUCKETS)),
            "perFile": self.files,
        }


# ---------------------------------------------------------------------------------------------
# Printing


def fmt(x, width=6, digits=3):
    return ("%.*f" % (digits, x)).rjust(width) if x is not None else "-".rjust(width)


def print_table(result, worst=5, out=sys.stdout):
    w = out.write
    head = "%7s %6s %6s %6s %6s %6s" % ("frames", "P", "R", "F1", "oct", "ovt")
    w("%-24s %s  | %s\n" % ("", "all frames".center(len(head)), "steady frames".center(len(head))))
    w("%-24s %s  | %s\n" % ("group", head, head))

    def row(name, m):
        cells = []
        for mode in MODES:
            x = m[mode]
            cells.append("%7d %s %s %s %s %s" % (
                x["frames"], fmt(x["precision"]), fmt(x["recall"]), fmt(x["f1"]),
                fmt(x["octaveErrorRate"]), fmt(x["overtoneFpRate"])))
        w("%-24s %s  | %s\n" % (name[:24], cells[0], cells[1]))

    row("overall", result["overall"])
    for title, key in (("instrument", "byInstrument"), ("kind", "byKind"),
                       ("example polyphony", "byPolyphony"),
                       ("notes in frame", "byFramePolyphony")):
        w("-- %s\n" % title)
        for name, m in result[key].items():
            row("  " + name, m)
    if worst:
        scored = [f for f in result["perFile"] if f["steady"]["f1"] is not None]
        scored.sort(key=lambda f: f["steady"]["f1"])
        if scored:
            w("-- lowest steady F1\n")
            for f in scored[:worst]:
                w("  %-30s F1 %s  P %s  R %s\n" % (f["name"], fmt(f["steady"]["f1"]),
                                                    fmt(f["steady"]["precision"]),
                                                    fmt(f["steady"]["recall"])))
    w("P precision, R recall, oct: share of false positives an octave or two off a sounding "
      "note,\novt: share at the 2nd-6th harmonic of one; steady frames lie more than %g ms from "
      "any onset or offset.\n" % (result["tolerance"] * 1000))


# ---------------------------------------------------------------------------------------------
# Running


def load_set(path):
    index_path = os.path.join(path, "index.json") if os.path.isdir(path) else path
    set_dir = os.path.dirname(os.path.abspath(index_path))
    with open(index_path) as f:
        index = json.load(f)
    labels = []
    for entry in index["examples"]:
        with open(os.path.join(set_dir, entry["label"])) as f:
            lab = json.load(f)
        lab["wavPath"] = os.path.join(set_dir, lab["wav"])
        labels.append(lab)
    return set_dir, index, labels


def render_report(renderer, label, render_args, tmp, keep_dir=None):
    """Runs the renderer on one example; returns the parsed report."""
    name = label["name"]
    report_path = os.path.join(keep_dir or tmp, name + ".report.json")
    out_wav = os.path.join(tmp, name + "-out.wav")
    cmd = [renderer, "--quiet", "--report", report_path, *render_args, label["wavPath"], out_wav]
    for attempt in range(6):
        try:
            r = subprocess.run(cmd, capture_output=True, text=True)
            break
        except OSError:
            # The binary can vanish or be busy for a moment while it is being rebuilt.
            if attempt == 5:
                raise
            time.sleep(5)
    try:
        if r.returncode != 0:
            msg = (r.stderr or r.stdout).strip().splitlines()
            raise ReportError("renderer failed on %s (exit %d): %s\n  command: %s"
                              % (name, r.returncode, msg[-1] if msg else "", " ".join(cmd)))
        try:
            with open(report_path) as f:
                return json.load(f)
        except (OSError, ValueError) as e:
            raise ReportError("no readable report for %s: %s" % (name, e))
    finally:
        for p in (out_wav,) + (() if keep_dir else (report_path,)):
            if os.path.exists(p):
                os.remove(p)


def main(argv=None):
    p = argparse.ArgumentParser(
        description="Frame-level precision/recall of the note detector on a generated set.")
    p.add_argument("set", help="set directory (or its index.json)")
    p.add_argument("--renderer", default=os.environ.get("ORVEX_RENDER", DEFAULT_RENDERER),
                   help="orvex-render binary (default: $ORVEX_RENDER or build/orvex-render)")
    p.add_argument("--set", dest="params", action="append", default=[], metavar="ID=VALUE",
                   help="parameter passed to the renderer (repeatable)")
    p.add_argument("--latency-mode", choices=("0", "1", "2"), default=None,
                   help="passed to the renderer: 0 STUDIO, 1 LIVE, 2 MELODY")
    p.add_argument("--tolerance", type=float, default=0.05,
                   help="steady frames lie farther than this from every onset and offset "
                        "(seconds, default 0.05)")
    p.add_argument("--range", type=int, nargs=2, metavar=("LO", "HI"), default=None,
                   help="count only MIDI notes LO..HI (default: all)")
    p.add_argument("--instruments", default=None, help="comma-separated: score only these")
    p.add_argument("--kinds", default=None, help="comma-separated: score only these kinds")
    p.add_argument("--limit", type=int, default=None, help="score at most N examples")
    p.add_argument("--jobs", type=int, default=2, help="renderer processes at once (default 2)")
    p.add_argument("--json", dest="json_out", default=None, help="write all figures here")
    p.add_argument("--keep-reports", default=None, metavar="DIR",
                   help="keep the renderer's reports in DIR (NAME.report.json)")
    p.add_argument("--reports", default=None, metavar="DIR",
                   help="score the reports already in DIR instead of running the renderer")
    p.add_argument("--worst", type=int, default=5, help="list the N lowest-F1 files (default 5)")
    args = p.parse_args(argv)

    set_dir, index, labels = load_set(args.set)
    if not index.get("rendered", True) and args.reports is None:
        raise SystemExit("error: %s holds labels only (made with --dry-run)" % set_dir)
    if args.instruments:
        keep = set(args.instruments.split(","))
        labels = [l for l in labels if l["instrument"]["name"] in keep]
    if args.kinds:
        keep = set(args.kinds.split(","))
        labels = [l for l in labels if l["kind"] in keep]
    if args.limit is not None:
        labels = labels[:args.limit]
    if not labels:
        raise SystemExit("error: no examples selected in %s" % set_dir)

    render_args = []
    for param in args.params:
        render_args += ["--set", param]
    if args.latency_mode is not None:
        render_args += ["--latency-mode", args.latency_mode]

    if args.reports is None and not os.access(args.renderer, os.X_OK):
        raise SystemExit("error: renderer %s not found (build it, or pass --renderer)"
                         % args.renderer)
    if args.keep_reports:
        os.makedirs(args.keep_reports, exist_ok=True)

    started = time.monotonic()
    summary = Summary()
    with tempfile.TemporaryDirectory(prefix="orvex-eval-") as tmp:
        def job(label):
            if args.reports is not None:
                path = os.path.join(args.reports, label["name"] + ".report.json")
                try:
                    with open(path) as f:
                        return json.load(f)
                except (OSError, ValueError) as e:
                    raise ReportError("no readable report for %s: %s" % (label["name"], e))
            return render_report(args.renderer, label, render_args, tmp, args.keep_reports)

        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
            try:
                for label, report in zip(labels, pool.map(job, labels)):
                    try:
                        summary.add(label, *score_file(label, report, args.tolerance,
                                                       args.range))
                    except ReportError as e:
                        raise ReportError("%s: %s" % (label["name"], e))
            except ReportError as e:
                pool.shutdown(wait=True, cancel_futures=True)
                print("error: %s" % e, file=sys.stderr)
                return 1

    meta = {
        "set": set_dir,
        "soundfont": index.get("soundfont"),
        "evaluationOnly": index.get("evaluationOnly"),
        "renderer": None if args.reports is not None else args.renderer,
        "rendererArgs": render_args,
        "reportsFrom": args.reports,
        "tolerance": args.tolerance,
        "range": args.range,
        "seconds": round(time.monotonic() - started, 2),
    }
    result = summary.to_json(meta, index.get("instruments", ()))
    print("set %s (%s soundfont), %d files, renderer args: %s, %.1f s"
          % (set_dir, meta["soundfont"], result["files"], " ".join(render_args) or "(none)",
             meta["seconds"]))
    if meta["evaluationOnly"]:
        print("evaluation-only set (%s soundfont): never tune or train on these figures"
              % meta["soundfont"])
    if result["engineFrames"]:
        print("frames per engine: %s" % ", ".join("%s: %d" % kv
                                                  for kv in result["engineFrames"].items()))
    print_table(result, args.worst)
    if args.json_out:
        with open(args.json_out, "w") as f:
            json.dump(result, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
