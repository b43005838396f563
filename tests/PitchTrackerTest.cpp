#include "PitchTracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

using varelle::PitchTracker;
using varelle::SeparationFrame;

namespace
{
constexpr double kSampleRate = 44100.0;

struct Partial
{
    double frequency;
    double amplitude;
};

using Partials = std::vector<Partial>;

double midiToHz (double midi) { return 440.0 * std::pow (2.0, (midi - 69.0) / 12.0); }

Partials sine (double frequency, double amplitude = 1.0) { return { { frequency, amplitude } }; }

/** A plucked-string-like tone: the first numHarmonics harmonics with amplitudes 1 / h. */
Partials harmonicTone (double f0, int numHarmonics, double amplitude = 1.0)
{
    Partials p;
    for (int h = 1; h <= numHarmonics && h * f0 < 0.5 * kSampleRate; ++h)
        p.push_back ({ h * f0, amplitude / h });
    return p;
}

/** Band-limited sawtooth: every harmonic below Nyquist with amplitude 1 / h. */
Partials sawtooth (double f0) { return harmonicTone (f0, 1000); }

Partials mix (std::initializer_list<Partials> parts)
{
    Partials all;
    for (const auto& p : parts)
        all.insert (all.end(), p.begin(), p.end());
    return all;
}

void fft (std::vector<std::complex<double>>& x)
{
    const size_t n = x.size();
    for (size_t i = 1, j = 0; i < n; ++i)
    {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap (x[i], x[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1)
    {
        const double angle = -2.0 * M_PI / (double) len;
        const std::complex<double> step (std::cos (angle), std::sin (angle));
        for (size_t start = 0; start < n; start += len)
        {
            std::complex<double> w (1.0, 0.0);
            for (size_t k = 0; k < len / 2; ++k)
            {
                const auto u = x[start + k];
                const auto v = x[start + k + len / 2] * w;
                x[start + k] = u + v;
                x[start + k + len / 2] = u - v;
                w *= step;
            }
        }
    }
}

/** |X[k]|, k = 0 .. n / 2, of the unscaled forward transform of one periodic-Hann-windowed frame. */
std::vector<float> spectrumOf (const Partials& partials, int n = 4096)
{
    std::vector<std::complex<double>> x ((size_t) n);
    for (int i = 0; i < n; ++i)
    {
        double s = 0.0;
        for (size_t p = 0; p < partials.size(); ++p)
            s += partials[p].amplitude
                 * std::sin (2.0 * M_PI * partials[p].frequency * i / kSampleRate + 0.7 * (double) p);
        x[(size_t) i] = s * 0.5 * (1.0 - std::cos (2.0 * M_PI * i / n));
    }
    fft (x);

    std::vector<float> magnitudes ((size_t) (n / 2 + 1));
    for (size_t k = 0; k < magnitudes.size(); ++k)
        magnitudes[k] = (float) std::abs (x[k]);
    return magnitudes;
}

std::vector<float> silence (int n = 4096) { return std::vector<float> ((size_t) (n / 2 + 1), 0.0f); }

/** The spectrum scaled so that its largest bin above DC equals peakLevel. */
std::vector<float> scaledTo (std::vector<float> magnitudes, float peakLevel)
{
    const float peak = *std::max_element (magnitudes.begin() + 1, magnitudes.end());
    for (auto& m : magnitudes)
        m *= peakLevel / peak;
    return magnitudes;
}

std::vector<int> activeKeysOf (const SeparationFrame& frame)
{
    std::vector<int> keys;
    for (int k = 0; k < SeparationFrame::kNumKeys; ++k)
        if (frame.isActive (k))
            keys.push_back (k);
    return keys;
}

class PitchTrackerTest : public ::testing::Test
{
protected:
    void SetUp() override { tracker.prepare (kSampleRate, 4096); }

    const SeparationFrame& run (const std::vector<float>& magnitudes, int frames = 1)
    {
        for (int i = 0; i < frames; ++i)
            tracker.analyze (magnitudes.data(), (int) magnitudes.size(), frame);
        return frame;
    }

    PitchTracker tracker;
    SeparationFrame frame;
};

constexpr int kA4 = 48; // MIDI 69, 440 Hz
constexpr float kBinHz = 44100.0f / 4096.0f;

} // namespace

// ---------------------------------------------------------------------------------------------
// Peak picking

TEST_F (PitchTrackerTest, SineGivesOneInterpolatedPeak)
{
    const auto magnitudes = spectrumOf (sine (440.0));
    PitchTracker::SpectralPeak peaks[PitchTracker::kMaxPeaks];

    ASSERT_EQ (tracker.findPeaks (magnitudes.data(), (int) magnitudes.size(), peaks), 1);
    EXPECT_EQ (peaks[0].bin, 41); // 440 Hz is bin 40.87
    EXPECT_NEAR (peaks[0].frequency, 440.0f, 0.2f * kBinHz);
    EXPECT_GE (peaks[0].magnitude, magnitudes[41]);
}

TEST_F (PitchTrackerTest, ParabolicInterpolationOfHandBuiltPeak)
{
    // a = 1, b = 2, c = 1.5: offset = 0.5 * (a - c) / (a - 2b + c) = 1/6 bin towards c,
    // height = b - 0.25 * (a - c) * offset = 2 + 1/48.
    const std::vector<float> m { 0, 0, 0, 1, 2, 1.5f, 0, 0, 0 };
    PitchTracker::SpectralPeak peaks[PitchTracker::kMaxPeaks];

    ASSERT_EQ (tracker.findPeaks (m.data(), (int) m.size(), peaks), 1);
    EXPECT_EQ (peaks[0].bin, 4);
    EXPECT_NEAR (peaks[0].frequency, (4.0f + 1.0f / 6.0f) * kBinHz, 1e-3f);
    EXPECT_NEAR (peaks[0].magnitude, 2.0208333f, 1e-5f);
}

TEST_F (PitchTrackerTest, PeakRules)
{
    struct Case
    {
        const char* name;
        std::vector<float> magnitudes;
        std::vector<int> expectedBins; // strongest first
    };

    std::vector<float> floorWithBump (41, 1.0f);
    auto bump = [&] (float height) { auto m = floorWithBump; m[20] = height; return m; };
    // 42 bins, 21 zeros then 21 ones: the median is the element of rank 21, a one.
    std::vector<float> halfZeros (42, 0.0f);
    std::fill (halfZeros.begin() + 21, halfZeros.end(), 1.0f);
    halfZeros[31] = 7.0f;
    auto loudAndQuiet = [] (float quiet) { std::vector<float> m (41, 0.0f); m[10] = 1000.0f; m[30] = quiet; return m; };

    const Case cases[] = {
        { "empty", {}, {} },
        { "one bin", { 5.0f }, {} },
        { "four bins", { 0, 0, 5, 0 }, {} },
        { "five bins, centre peak", { 0, 0, 5, 0, 0 }, { 2 } },
        { "bins 1 and N-2 are not scanned", { 0, 5, 0, 0, 0, 0, 0, 5, 0 }, {} },
        { "flat top is no peak", { 0, 0, 5, 5, 0, 0, 0, 0 }, {} },
        { "must exceed both bins two away", { 0, 0, 6, 1, 5, 1, 0, 0, 0 }, { 2 } },
        { "below 8 x median", bump (7.9f), {} },
        { "equal to 8 x median", bump (8.0f), {} },
        { "above 8 x median", bump (8.1f), { 20 } },
        { "median of an even count is the upper middle", halfZeros, {} },
        { "below 0.005 x maximum", loudAndQuiet (4.9f), { 10 } },
        { "above 0.005 x maximum", loudAndQuiet (5.1f), { 10, 30 } },
        { "strongest first", { 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0 }, { 6, 10, 2 } },
    };

    for (const auto& c : cases)
    {
        PitchTracker::SpectralPeak peaks[PitchTracker::kMaxPeaks];
        const int n = tracker.findPeaks (c.magnitudes.data(), (int) c.magnitudes.size(), peaks);
        std::vector<int> bins;
        for (int i = 0; i < n; ++i)
            bins.push_back (peaks[i].bin);
        EXPECT_EQ (bins, c.expectedBins) << c.name;
    }
}

TEST_F (PitchTrackerTest, KeepsTheThirtyStrongestPeaks)
{
    // 40 isolated peaks with magnitudes 11 .. 50 in scrambled order.
    std::vector<float> m (420, 0.0f);
    for (int i = 0; i < 40; ++i)
        m[(size_t) (10 + 10 * i)] = 11.0f + (float) ((i * 17) % 40);

    PitchTracker::SpectralPeak peaks[PitchTracker::kMaxPeaks];
    ASSERT_EQ (tracker.findPeaks (m.data(), (int) m.size(), peaks), 30);
    for (int i = 0; i < 30; ++i)
        EXPECT_FLOAT_EQ (peaks[i].magnitude, 50.0f - (float) i) << "rank " << i;
}

TEST (PitchTrackerSizes, SpectrumLongerThanPreparedFrameIsHandled)
{
    // Handed a 4097-bin spectrum (N = 8192) when prepared for N = 512, and when never prepared
    // (sized for N = 4096).
    const auto magnitudes = spectrumOf (mix ({ sine (440.0), sine (3000.0, 0.5) }), 8192);

    PitchTracker small;
    small.prepare (kSampleRate, 512);
    PitchTracker unprepared;

    for (PitchTracker* t : { &small, &unprepared })
    {
        PitchTracker::SpectralPeak peaks[PitchTracker::kMaxPeaks];
        ASSERT_EQ (t->findPeaks (magnitudes.data(), (int) magnitudes.size(), peaks), 2);
        EXPECT_EQ (peaks[0].bin, 82);
        EXPECT_EQ (peaks[1].bin, 557); // beyond the prepared bins
    }
}

// ---------------------------------------------------------------------------------------------
// Note detection

TEST_F (PitchTrackerTest, SineEntersFrameOnSecondDetection)
{
    const auto magnitudes = spectrumOf (sine (440.0));

    run (magnitudes);
    EXPECT_TRUE (tracker.isGateOpen());
    EXPECT_EQ (tracker.getHitCount (kA4), 1);
    EXPECT_EQ (frame.activeCount, 0);
    EXPECT_FALSE (frame.notes[kA4].active);
    EXPECT_EQ (frame.notes[kA4].midiNote, -1);

    run (magnitudes);
    ASSERT_EQ (activeKeysOf (frame), std::vector<int> { kA4 });
    EXPECT_EQ (frame.activeCount, 1);
    EXPECT_EQ (frame.activeKeys[0], uint64_t { 1 } << kA4);
    EXPECT_EQ (frame.activeKeys[1], 0u);
    EXPECT_EQ (frame.notes[kA4].midiNote, 69);
    EXPECT_FLOAT_EQ (frame.notes[kA4].confidence, 1.0f);
    EXPECT_NEAR (frame.notes[kA4].frequency, 440.0f, 1.0f);
}

TEST_F (PitchTrackerTest, SawtoothGivesOnlyItsFundamental)
{
    const auto magnitudes = spectrumOf (sawtooth (110.0));

    for (int i = 0; i < 10; ++i)
    {
        run (magnitudes);
        // No harmonic may be accepted even once, not only kept out of the frame.
        for (int k = 0; k < PitchTracker::kNumKeys; ++k)
        {
            if (k == 24)
                continue;
            ASSERT_EQ (tracker.getHitCount (k), 0) << "key " << k << " at frame " << i;
        }
    }
    EXPECT_EQ (activeKeysOf (frame), std::vector<int> { 24 }); // A2
    EXPECT_NEAR (frame.notes[24].frequency, 110.0f, 1.0f);
}

TEST_F (PitchTrackerTest, FundamentalRangeEnds)
{
    // A peak outside 25.96 .. 4434.92 Hz is no candidate, so a loud one does not push a quiet
    // A4 under the cut at 0.3 of the best score. Between C8 and 4434.92 Hz a peak is a candidate
    // that names no piano key: it yields no note but still sets the best score.
    const auto quietA4 = sine (440.0, 0.2);
    struct Case
    {
        const char* name;
        Partials partials;
        std::vector<int> expectedKeys;
    };
    const Case cases[] = {
        { "20 Hz", mix ({ sine (20.0), quietA4 }), { kA4 } },
        { "A0", sine (27.5), { 0 } },
        { "C8", sine (4186.0), { 87 } },
        { "4420 Hz", mix ({ sine (4420.0), quietA4 }), {} },
        { "4450 Hz", mix ({ sine (4450.0), quietA4 }), { kA4 } },
    };

    for (const auto& c : cases)
    {
        tracker.reset();
        run (spectrumOf (c.partials), 3);
        EXPECT_EQ (activeKeysOf (frame), c.expectedKeys) << c.name;
    }
}

TEST_F (PitchTrackerTest, HarmonicSupportDecidesWhetherAQuietToneCounts)
{
    // Next to an A3 with six overtones (score about 3.5), a quieter tone is a note only when its
    // score reaches 0.3 of that. A lone sine is halved for lacking overtones; slightly sharp
    // overtones (as on a stiff string) still count as support when within 1.5 bins; a weak
    // fundamental under much stronger overtones is damped as a likely artefact.
    const auto a3 = harmonicTone (220.0, 6);
    const int b4 = 71 - 21, a2 = 45 - 21;
    auto toneWithSharpOvertones = [] (double bins)
    {
        const double offset = bins * kBinHz;
        return Partials { { 500.0, 0.5 }, { 1000.0 + offset, 0.25 }, { 1500.0 + offset, 0.5 / 3.0 } };
    };

    struct Case
    {
        const char* name;
        Partials probe;
        int probeKey;
        bool expectedDetected;
    };
    const Case cases[] = {
        { "lone sine at 0.5", sine (500.0, 0.5), b4, false },
        { "lone sine at 0.8", sine (500.0, 0.8), b4, true },
        { "overtones 1.2 bins sharp", toneWithSharpOvertones (1.2), b4, true },
        { "overtones 1.8 bins sharp", toneWithSharpOvertones (1.8), b4, false },
        { "weak fundamental one octave below", sine (110.0, 0.2), a2, false },
    };

    for (const auto& c : cases)
    {
        tracker.reset();
        run (spectrumOf (mix ({ a3, c.probe })));
        EXPECT_EQ (tracker.getHitCount (36), 1) << c.name;
        EXPECT_EQ (tracker.getHitCount (c.probeKey), c.expectedDetected ? 1 : 0) << c.name;
    }
}

TEST_F (PitchTrackerTest, PeakWithinASemitoneOfATakenNoteIsDroppedUnlessAlreadySounding)
{
    // 2000 and 2100 Hz are 84 cents apart but round to B6 and C7.
    const int b6 = 95 - 21, c7 = 96 - 21;
    const auto both = spectrumOf (mix ({ sine (2000.0), sine (2100.0, 0.8) }));

    for (bool c7Sounding : { false, true })
    {
        tracker.reset();
        if (c7Sounding)
            run (spectrumOf (sine (2100.0)), 3);
        run (both);
        EXPECT_EQ (tracker.getHitCount (b6), 1) << "C7 sounding: " << c7Sounding;
        EXPECT_EQ (tracker.getHitCount (c7), c7Sounding ? 4 : 0) << "C7 sounding: " << c7Sounding;
    }
}

TEST_F (PitchTrackerTest, ChordsOfPluckedTonesWithoutOctaveErrors)
{
    // Guitar voicings, octave doublings included. Low notes are at least a fourth apart: closer
    // ones (E2 and G2 are 1.5 bins apart) merge into one peak at N = 4096.
    struct Case
    {
        const char* name;
        std::vector<int> midiNotes;
    };
    const Case cases[] = {
        { "A minor triad", { 57, 60, 64 } },
        { "C major triad", { 48, 52, 55 } },
        { "E minor open", { 40, 47, 52, 55, 59, 64 } },
        { "G major barre", { 43, 50, 55, 59, 62, 67 } },
        { "D major open", { 50, 57, 62, 66 } },
        { "A major open", { 45, 52, 57, 61, 64 } },
        { "E major open", { 40, 47, 52, 56, 59, 64 } },
        { "C major open", { 48, 52, 55, 60, 64 } },
        { "Am7", { 45, 52, 55, 60, 64 } },
        { "Fmaj7", { 41, 48, 52, 57 } },
    };

    for (const auto& c : cases)
    {
        tracker.reset();
        Partials chord;
        std::vector<int> expected;
        for (int midi : c.midiNotes)
        {
            chord = mix ({ chord, harmonicTone (midiToHz (midi), 6) });
            expected.push_back (midi - 21);
        }
        run (spectrumOf (chord), 8);
        EXPECT_EQ (activeKeysOf (frame), expected) << c.name;
    }
}

TEST_F (PitchTrackerTest, FrequencyIsSmoothedWhileNoteSounds)
{
    const auto first = spectrumOf (sine (440.0));
    const auto second = spectrumOf (sine (446.0)); // still A4
    PitchTracker::SpectralPeak p1[PitchTracker::kMaxPeaks], p2[PitchTracker::kMaxPeaks];
    ASSERT_EQ (tracker.findPeaks (first.data(), (int) first.size(), p1), 1);
    ASSERT_EQ (tracker.findPeaks (second.data(), (int) second.size(), p2), 1);

    run (first);
    EXPECT_FLOAT_EQ (tracker.getNoteFrequency (kA4), p1[0].frequency);
    run (second);
    EXPECT_FLOAT_EQ (tracker.getNoteFrequency (kA4), 0.8f * p1[0].frequency + 0.2f * p2[0].frequency);
    EXPECT_FLOAT_EQ (frame.notes[kA4].frequency, tracker.getNoteFrequency (kA4));

    // After a release the next note starts from its own frequency, not the old one.
    run (silence(), 5);
    EXPECT_FLOAT_EQ (tracker.getNoteFrequency (kA4), 0.0f);
    run (second);
    EXPECT_FLOAT_EQ (tracker.getNoteFrequency (kA4), p2[0].frequency);
}

// ---------------------------------------------------------------------------------------------
// Musical key

TEST_F (PitchTrackerTest, OutOfKeyNoteNeedsSevenHitsAndReleasesAfterThreeMisses)
{
    tracker.scaleMask = varelle::scaleMaskForKey (0, 0); // C major
    const int cSharp4 = 61 - 21;
    const auto magnitudes = spectrumOf (sine (midiToHz (61)));

    for (int i = 1; i <= 7; ++i)
    {
        run (magnitudes);
        ASSERT_EQ (tracker.getHitCount (cSharp4), i);
        EXPECT_EQ (frame.isActive (cSharp4), i == 7) << "hit " << i;
    }

    for (int miss = 1; miss <= 4; ++miss)
    {
        run (silence());
        EXPECT_EQ (frame.isActive (cSharp4), miss <= 3) << "miss " << miss;
    }
}

TEST_F (PitchTrackerTest, OutOfKeyNeighbourOfHeldNoteIsDampedFurther)
{
    // With C major, C#6 is out of key. Played 2.5 times as loud as D6 its score is 0.2 x 2.5 = 0.5
    // of D6's, enough to be taken; next to a held D6 it drops to 0.06 x 2.5 = 0.15 and is not.
    // C#6 is tuned 30 cents flat so that it stays clear of D6 by more than a semitone.
    const int cSharp6 = 85 - 21, d6 = 86 - 21;
    const auto d6Alone = spectrumOf (sine (midiToHz (86)));
    const auto both = spectrumOf (mix ({ sine (midiToHz (86)), sine (midiToHz (84.7), 2.5) }));

    for (bool d6Held : { false, true })
    {
        tracker.reset();
        tracker.scaleMask = varelle::scaleMaskForKey (0, 0);
        if (d6Held)
        {
            run (d6Alone, 3);
            ASSERT_TRUE (frame.isActive (d6));
        }
        run (both);
        EXPECT_EQ (tracker.getHitCount (cSharp6), d6Held ? 0 : 1) << "D6 held: " << d6Held;
        EXPECT_GT (tracker.getHitCount (d6), 0);
    }
}

TEST_F (PitchTrackerTest, HarmonicOfHeldNoteNeedsHalfTheBestScore)
{
    // A2 is held but silent in the probe frame, which holds a loud unrelated 1250 Hz tone and a
    // probe note at 0.45 of its level. A new probe that is a harmonic of the held A2 (E4 is the
    // third, G5 the seventh 31 cents off) needs half the best score and is dropped; an E4 that is
    // already sounding needs 0.4 and stays; C5 is no harmonic of A2 and passes.
    struct Case
    {
        const char* name;
        Partials before;
        int probeMidi;
        int expectedProbeHits;
    };
    const Case cases[] = {
        { "nothing held, E4", {}, 64, 1 },
        { "A2 held, E4", sine (110.0), 64, 0 },
        { "A2 held, G5", sine (110.0), 79, 0 },
        { "A2 held, C5", sine (110.0), 72, 1 },
        { "A2 and E4 held, E4", mix ({ sine (110.0), sine (midiToHz (64)) }), 64, 4 },
    };

    for (const auto& c : cases)
    {
        tracker.reset();
        if (! c.before.empty())
            run (spectrumOf (c.before), 3);
        run (spectrumOf (mix ({ sine (1250.0), sine (midiToHz (c.probeMidi), 0.45) })));
        EXPECT_EQ (tracker.getHitCount (c.probeMidi - 21), c.expectedProbeHits) << c.name;
    }
}

// ---------------------------------------------------------------------------------------------
// Release, polyphony, frame size

TEST_F (PitchTrackerTest, ReleaseAfterInputStops)
{
    struct Case
    {
        int preset;
        int framesHeld;
        int framesStillPresent;
    };
    const Case cases[] = {
        { 0, 5, 4 },   { 0, 20, 4 },  { 0, 21, 12 }, // Guitar: 4 / 12, long after 20
        { 1, 12, 6 },  { 1, 13, 25 },                // Piano: 6 / 25, long after 12
        { 2, 30, 3 },  { 2, 31, 6 },                 // Percussive: 3 / 6, long after 30
        { 3, 15, 5 },  { 3, 16, 18 },                // Bass: 5 / 18, long after 15
    };

    const auto note = spectrumOf (sine (440.0));
    for (const auto& c : cases)
    {
        const auto& preset = varelle::detectionPreset (c.preset);
        tracker.setReleaseSettings (preset.releaseFramesShort, preset.releaseFramesLong, preset.longHoldFrames);
        tracker.reset();

        run (note, c.framesHeld);
        ASSERT_TRUE (frame.isActive (kA4));
        for (int miss = 1; miss <= c.framesStillPresent; ++miss)
            ASSERT_TRUE (run (silence()).isActive (kA4)) << "preset " << c.preset << " held " << c.framesHeld
                                                         << " miss " << miss;
        run (silence());
        EXPECT_FALSE (frame.isActive (kA4)) << "preset " << c.preset << " held " << c.framesHeld;
        EXPECT_EQ (tracker.getHitCount (kA4), 0);
        EXPECT_EQ (tracker.getNoteFrequency (kA4), 0.0f);
        EXPECT_EQ (tracker.getMissCount (kA4), c.framesStillPresent + 1);
    }
}

TEST_F (PitchTrackerTest, DetectionBeforeReleaseContinuesTheNote)
{
    const auto note = spectrumOf (sine (440.0));
    run (note, 3);
    run (silence(), 3);
    ASSERT_TRUE (frame.isActive (kA4));

    run (note);
    EXPECT_TRUE (frame.isActive (kA4));
    EXPECT_EQ (tracker.getHitCount (kA4), 4);
    EXPECT_EQ (tracker.getMissCount (kA4), 0);
}

TEST_F (PitchTrackerTest, PolyphonyLimitCutsKeysWithFewestHits)
{
    // Fourteen pure tones, no two a semitone apart or in a harmonic ratio.
    const int midi[14] = { 33, 46, 53, 62, 78, 83, 85, 88, 92, 94, 99, 101, 103, 108 };
    auto tones = [&] (std::initializer_list<int> indices)
    {
        Partials p;
        for (int i : indices)
            p = mix ({ p, sine (midiToHz (midi[i])) });
        return spectrumOf (p);
    };

    // Twelve notes for five frames; then ten of them with the last two, which reach the frame on
    // their second hit while the two dropped ones are still releasing: fourteen qualify.
    run (tones ({ 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11 }), 5);
    ASSERT_EQ (frame.activeCount, 12);

    const auto later = tones ({ 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 13 });
    run (later);
    ASSERT_EQ (frame.activeCount, 12);
    run (later);

    EXPECT_EQ (frame.activeCount, 12);
    for (int i = 0; i < 12; ++i)
        EXPECT_TRUE (frame.isActive (midi[i] - 21)) << "MIDI " << midi[i];
    for (int i : { 12, 13 })
    {
        const int key = midi[i] - 21;
        EXPECT_FALSE (frame.isActive (key)) << "MIDI " << midi[i];
        EXPECT_EQ (frame.notes[key].midiNote, -1);
        EXPECT_EQ (tracker.getHitCount (key), 0);
        EXPECT_EQ (tracker.getMissCount (key), 100);
        EXPECT_EQ (tracker.getNoteFrequency (key), 0.0f);
    }
}

TEST (PitchTrackerSizes, FramesScaleFollowsFrameSize)
{
    const std::pair<int, int> cases[] = { { 4096, 1 }, { 2048, 2 }, { 1024, 4 }, { 512, 8 }, { 8192, 1 } };
    for (const auto& [n, scale] : cases)
    {
        PitchTracker t;
        t.prepare (kSampleRate, n);
        EXPECT_EQ (t.getFramesScale(), scale) << "N = " << n;
    }
}

TEST (PitchTrackerSizes, FrameCountsScaleByEightAt512)
{
    PitchTracker tracker;
    tracker.prepare (kSampleRate, 512);
    SeparationFrame frame;
    const auto note = spectrumOf (sine (440.0), 512);
    const auto quiet = silence (512);

    for (int i = 1; i <= 16; ++i)
    {
        tracker.analyze (note.data(), (int) note.size(), frame);
        ASSERT_EQ (frame.isActive (kA4), i == 16) << "hit " << i;
    }
    // Held 16 frames, far from long-held (160): short release of 4 x 8 frames.
    for (int miss = 1; miss <= 33; ++miss)
    {
        tracker.analyze (quiet.data(), (int) quiet.size(), frame);
        ASSERT_EQ (frame.isActive (kA4), miss <= 32) << "miss " << miss;
    }
}

// ---------------------------------------------------------------------------------------------
// Gate and lifecycle

TEST_F (PitchTrackerTest, GateOpensAboveThreeHundredthsAndClosesBelowThreeThousandths)
{
    const auto note = spectrumOf (sine (440.0));

    // The DC bin does not count towards the level.
    auto dcOnly = silence();
    dcOnly[0] = 100.0f;
    run (dcOnly);
    EXPECT_FALSE (tracker.isGateOpen());

    // Between the two levels a closed gate stays closed: nothing is detected.
    run (scaledTo (note, 0.02f), 5);
    EXPECT_FALSE (tracker.isGateOpen());
    EXPECT_EQ (tracker.getHitCount (kA4), 0);

    // Above 0.03 it opens, and the opening frame is analysed.
    run (scaledTo (note, 0.05f));
    EXPECT_TRUE (tracker.isGateOpen());
    EXPECT_EQ (tracker.getHitCount (kA4), 1);

    // Falling to 0.001 the envelope decays through 0.03 and later below 0.003. The note is
    // detected in every frame the gate is still open and in none from the frame it closes.
    const auto faint = scaledTo (note, 0.001f);
    int framesUntilClosed = 0;
    while (tracker.isGateOpen() && framesUntilClosed < 200)
    {
        const int hitsBefore = tracker.getHitCount (kA4);
        run (faint);
        ++framesUntilClosed;
        EXPECT_EQ (tracker.getHitCount (kA4), tracker.isGateOpen() ? hitsBefore + 1 : hitsBefore)
            << "frame " << framesUntilClosed;
    }
    EXPECT_FALSE (tracker.isGateOpen());
    EXPECT_GT (framesUntilClosed, 20); // hysteresis: not as soon as the level drops under 0.03

    // Silence keeps it closed and the long-held note releases as usual, 13 misses after the
    // last detection.
    run (silence(), 12);
    EXPECT_FALSE (tracker.isGateOpen());
    EXPECT_EQ (activeKeysOf (frame), std::vector<int> {});
}

TEST_F (PitchTrackerTest, ResetAndPrepareClearNotesButKeepKeyAndReleaseSettings)
{
    const auto& percussive = varelle::detectionPreset (2);
    tracker.setReleaseSettings (percussive.releaseFramesShort, percussive.releaseFramesLong,
                                percussive.longHoldFrames);
    tracker.keyRoot = 9;
    tracker.keyQuality = 1;
    tracker.scaleMask = varelle::scaleMaskForKey (9, 1); // A minor: A4 in key
    const auto note = spectrumOf (sine (440.0));

    for (int pass = 0; pass < 2; ++pass)
    {
        run (note, 5);
        ASSERT_TRUE (frame.isActive (kA4));

        if (pass == 0)
            tracker.reset();
        else
            tracker.prepare (kSampleRate, 4096);

        EXPECT_FALSE (tracker.isGateOpen());
        EXPECT_EQ (tracker.keyRoot.load(), 9);
        EXPECT_EQ (tracker.keyQuality.load(), 1);
        EXPECT_EQ (tracker.scaleMask, varelle::scaleMaskForKey (9, 1));
        for (int k = 0; k < PitchTracker::kNumKeys; ++k)
        {
            EXPECT_EQ (tracker.getHitCount (k), 0);
            EXPECT_EQ (tracker.getMissCount (k), 0);
            EXPECT_EQ (tracker.getNoteFrequency (k), 0.0f);
        }

        // A closed gate and a fresh count: the note needs two hits again.
        run (note);
        EXPECT_FALSE (frame.isActive (kA4));

        // Percussive release still applies: present for 3 missed frames, gone at the fourth.
        run (note);
        run (silence(), 3);
        EXPECT_TRUE (frame.isActive (kA4)) << "pass " << pass;
        run (silence());
        EXPECT_FALSE (frame.isActive (kA4)) << "pass " << pass;
        tracker.reset();
    }
}
