#include "ChordTracker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>

using varelle::ChordDetector;
using varelle::ChordTracker;
using varelle::KeyTracker;
using varelle::SeparationFrame;

namespace
{
SeparationFrame frameOf (std::initializer_list<int> midiNotes)
{
    SeparationFrame f;
    for (int m : midiNotes)
        f.activate (m - 21, 440.0f * std::pow (2.0f, (m - 69) / 12.0f), 1.0f);
    return f;
}
} // namespace

TEST (ChordTracker, NamesAChordHeldForAFifthOfASecond)
{
    ChordTracker tracker;
    ChordDetector detector;
    const auto cMajor = frameOf ({ 48, 52, 55 });

    // The first block starts the hold; 8820 samples later the chord is named.
    int blocks = 0;
    while (! tracker.currentChord.isChord() && blocks < 100)
    {
        tracker.update (cMajor, 0.5f, 512, detector);
        ++blocks;
    }
    EXPECT_EQ (blocks, 1 + (8820 + 511) / 512);
    EXPECT_EQ (tracker.currentChord.root, 0);
    EXPECT_EQ (tracker.currentChord.type, 1);

    // A fourth note restarts the count; until then the old chord stays.
    const auto cMaj7 = frameOf ({ 48, 52, 55, 59 });
    tracker.update (cMaj7, 0.5f, 512, detector);
    EXPECT_EQ (tracker.heldSamples, 0);
    EXPECT_EQ (tracker.currentChord.type, 1);
    for (int b = 0; b < 18; ++b)
        tracker.update (cMaj7, 0.5f, 512, detector);
    EXPECT_EQ (tracker.currentChord.type, 4);

    // A pause in the notes above the level gate keeps the chord; silence removes it.
    tracker.update (SeparationFrame {}, 0.2f, 512, detector);
    EXPECT_EQ (tracker.currentChord.type, 4);
    tracker.update (cMaj7, 0.01f, 512, detector);
    EXPECT_FALSE (tracker.currentChord.isChord());
    EXPECT_EQ (tracker.lastDetectedPitchClasses, 0);
}

TEST (KeyTracker, ProfilesAndCorrelation)
{
    // The centred Krumhansl-Kessler profiles; a histogram of C, E and G correlates best with
    // C major.
    float cEg[12] {};
    cEg[0] = cEg[4] = cEg[7] = 10.0f;
    double best = -2.0;
    int bestRoot = -1, bestMode = -1;
    for (int root = 0; root < 12; ++root)
        for (int mode = 0; mode < 2; ++mode)
            if (KeyTracker::correlate (cEg, root, mode) > best)
            {
                best = KeyTracker::correlate (cEg, root, mode);
                bestRoot = root;
                bestMode = mode;
            }
    EXPECT_EQ (bestRoot, 0);
    EXPECT_EQ (bestMode, 0);

    // A flat profile of the major scale itself correlates perfectly with its own key.
    const float major[12] = { 6.35f, 2.23f, 3.48f, 2.33f, 4.38f, 4.09f, 2.52f, 5.19f, 2.39f, 3.66f, 2.29f, 2.88f };
    EXPECT_NEAR (KeyTracker::correlate (major, 0, 0), 1.0, 1e-6);
}

namespace
{
/** Blocks of a frame until the tracker holds a key or the limit passes; returns the blocks. */
int blocksUntilKey (KeyTracker& tracker, const SeparationFrame& frame, int limit)
{
    int blocks = 0;
    while (tracker.trackedRoot() < 0 && blocks < limit)
    {
        tracker.update (frame);
        ++blocks;
    }
    return blocks;
}
} // namespace

TEST (KeyTracker, DecidesAfterFiveEqualEvaluations)
{
    KeyTracker tracker;
    tracker.reset();
    const int blocks = blocksUntilKey (tracker, frameOf ({ 48, 52, 55, 60 }), 1000);
    // First evaluation at block 40, then every 10: the fifth equal one comes at block 80.
    EXPECT_EQ (blocks, 80);
    EXPECT_EQ (tracker.trackedRoot(), 0);
    EXPECT_EQ (tracker.trackedQuality(), 0);
    EXPECT_GT (tracker.confidence(), 0.4f);
}

TEST (KeyTracker, ThirdsDecideBetweenParallelModes)
{
    // C and G with a strong E flat: the best candidate's parallel mode scores within 0.1 and the
    // minor third outweighs the major third.
    KeyTracker tracker;
    tracker.reset();
    blocksUntilKey (tracker, frameOf ({ 48, 51, 55, 60, 63, 67 }), 1000);
    EXPECT_EQ (tracker.trackedRoot(), 0);
    EXPECT_EQ (tracker.trackedQuality(), 1);
}

TEST (KeyTracker, AChangeNeedsAMarginAndSilenceChangesNothing)
{
    KeyTracker tracker;
    tracker.reset();
    blocksUntilKey (tracker, frameOf ({ 48, 52, 55, 60 }), 1000);
    ASSERT_EQ (tracker.trackedRoot(), 0);
    const float confidence = tracker.confidence();

    // Silence: the histogram only decays; no evaluation changes the key.
    for (int b = 0; b < 500; ++b)
        tracker.update (SeparationFrame {});
    EXPECT_EQ (tracker.trackedRoot(), 0);
    EXPECT_LE (tracker.confidence(), confidence);

    // A long stretch in another key wins eventually.
    for (int b = 0; b < 3000 && tracker.trackedRoot() == 0; ++b)
        tracker.update (frameOf ({ 50, 54, 57, 62 }));
    EXPECT_EQ (tracker.trackedRoot(), 2);
}

//==============================================================================
#include "DemoPhrase.h"
#include "ProcessorHarness.h"

namespace
{
/** Plucked chords, one per half second, as a guitar player strums a progression. */
std::vector<float> progression (const std::vector<std::vector<int>>& chords, double seconds)
{
    const double rate = 44100.0;
    std::vector<float> out ((size_t) (seconds * rate), 0.0f);
    uint32_t seed = 7;
    for (int step = 0; step * 0.5 < seconds; ++step)
        for (int m : chords[(size_t) step % chords.size()])
            varelle::addPluckedNote (out.data(), (int) out.size(), rate, m, 0.15f, (int) (step * 0.5 * rate), (int) (0.5 * rate), seed++);
    return out;
}

/** Seconds until the processor publishes a key, and the key. */
struct Published
{
    double seconds = -1;
    int root = -1, quality = -1;
};

Published firstKey (VarelleProcessor& proc, const std::vector<float>& in)
{
    Published p;
    orvex::test::process (proc, in, nullptr, { 512 }, [&] (int, int pos)
    {
        if (p.seconds < 0 && proc.chordDetector.keyRoot.load() >= 0)
        {
            p.seconds = pos / 44100.0;
            p.root = proc.chordDetector.keyRoot.load();
            p.quality = proc.chordDetector.keyQuality.load();
        }
    });
    return p;
}
} // namespace

// The automatic key reaches every place that uses it: the displayed pair, the tracker's bias
// and the separator's chord detector.
TEST (KeyTracking, ProgressionsArePublishedAsTheirKey)
{
    struct Case { const char* what; std::vector<std::vector<int>> chords; int root, quality; };
    const Case cases[] = {
        { "C F G C in C major", { { 48, 52, 55, 60, 64 }, { 53, 57, 60, 65 }, { 55, 59, 62, 67 }, { 48, 52, 55, 60, 64 } }, 0, 0 },
        { "Am Dm E Am in A minor", { { 45, 52, 57, 60, 64 }, { 50, 57, 62, 65 }, { 52, 59, 64, 68, 71 }, { 45, 52, 57, 60, 64 } }, 9, 1 },
    };
    for (const auto& c : cases)
    {
        VarelleProcessor proc;
        proc.setParameterPlain ("detection_engine", 1.0f);   // the classical tracker: deterministic notes
        orvex::test::prepare (proc, 1, 512);
        const auto published = firstKey (proc, progression (c.chords, 6.0));
        SCOPED_TRACE (c.what);
        EXPECT_EQ (published.root, c.root);
        EXPECT_EQ (published.quality, c.quality);
        EXPECT_GT (published.seconds, 0.0);
        EXPECT_LT (published.seconds, 3.0);
        EXPECT_EQ (proc.noteSeparator.tracker.keyRoot.load(), c.root);
        EXPECT_EQ (proc.noteSeparator.chordDetector.keyRoot.load(), c.root);
    }
}

TEST (KeyTracking, ManualKeyWhenAutomaticIsOff)
{
    VarelleProcessor proc;
    proc.setParameterPlain ("auto_key", 0.0f);
    proc.setKey (2, 0);   // D major, chosen by hand
    orvex::test::prepare (proc, 1, 512);
    const auto in = progression ({ { 48, 52, 55, 60, 64 }, { 53, 57, 60, 65 } }, 4.0);
    orvex::test::process (proc, in, nullptr, { 512 });
    EXPECT_EQ (proc.chordDetector.keyRoot.load(), 2);
    EXPECT_EQ (proc.noteSeparator.tracker.keyRoot.load(), 2);
    EXPECT_EQ (proc.keyTracker.trackedRoot(), -1);   // the histogram neither grows nor decides
    EXPECT_EQ (proc.noteSeparator.getScaleMask(), varelle::scaleMaskForKey (2, 0));
}

TEST (KeyTracking, HeldChordsBecomeTheCurrentChord)
{
    VarelleProcessor proc;
    proc.setParameterPlain ("detection_engine", 1.0f);
    orvex::test::prepare (proc, 1, 512);
    const auto in = progression ({ { 43, 47, 50, 55, 59, 67 } }, 1.5);   // G major, open voicing
    orvex::test::process (proc, in, nullptr, { 512 });
    // The root is G; the type depends on which overtones the tracker also reports.
    EXPECT_EQ (proc.getCurrentChord().root, 7);
    EXPECT_TRUE (proc.getCurrentChord().isChord());
}
