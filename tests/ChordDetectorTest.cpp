#include "ChordDetector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>

using varelle::ChordDetector;
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

uint16_t classes (std::initializer_list<int> pcs)
{
    uint16_t v = 0;
    for (int pc : pcs)
        v = (uint16_t) (v | (1u << pc));
    return v;
}
} // namespace

TEST (ChordDetector, NamesChordsAsScored)
{
    struct Case
    {
        const char* what;
        std::initializer_list<int> notes;
        int keyRoot, keyQuality;
        int root, type;
        float score;
        uint16_t chordClasses;
    };
    const Case cases[] = {
        { "C E G", { 60, 64, 67 }, -1, 0, 0, 1, 0.95f, classes ({ 0, 4, 7 }) },
        { "C E F# G: the F# costs 0.1", { 60, 64, 66, 67 }, -1, 0, 0, 1, 0.725f, classes ({ 0, 4, 7 }) },
        { "C G: power chord", { 48, 55 }, -1, 0, 0, 11, 0.9f, classes ({ 0, 7 }) },
        { "C E G B: major seventh beats the triad", { 60, 64, 67, 71 }, -1, 0, 0, 4, 0.95f, classes ({ 0, 4, 7, 11 }) },
        { "E G B in C major", { 64, 67, 71 }, 0, 0, 4, 2, 0.95f * 1.15f, classes ({ 4, 7, 11 }) },
        { "E G B in F# major", { 64, 67, 71 }, 6, 0, 4, 2, 0.95f * 0.75f, classes ({ 4, 7, 11 }) },
        { "A C E: minor", { 57, 60, 64 }, -1, 0, 9, 2, 0.95f, classes ({ 9, 0, 4 }) },
        { "G B D F: dominant seventh", { 43, 59, 62, 65 }, -1, 0, 7, 3, 0.95f, classes ({ 7, 11, 2, 5 }) },
    };

    for (const auto& c : cases)
    {
        ChordDetector detector;
        detector.keyRoot = c.keyRoot;
        detector.keyQuality = c.keyQuality;
        const auto result = detector.detect (frameOf (c.notes));
        SCOPED_TRACE (c.what);
        EXPECT_EQ (result.root, c.root);
        EXPECT_EQ (result.type, c.type);
        EXPECT_NEAR (result.score, c.score, 1e-5);
        EXPECT_EQ (result.chordPitchClasses, c.chordClasses);
    }
}

TEST (ChordDetector, BassAndPresentClasses)
{
    ChordDetector detector;
    const auto result = detector.detect (frameOf ({ 67, 60, 64, 66 }));
    EXPECT_EQ (result.bass, 0);
    EXPECT_EQ (result.presentPitchClasses, classes ({ 0, 4, 6, 7 }));
    EXPECT_EQ ((result.chordPitchClasses >> 6) & 1, 0);   // the F# is not a chord tone
}

TEST (ChordDetector, TooFewNotesOrClasses)
{
    ChordDetector detector;

    const auto empty = detector.detect (SeparationFrame {});
    EXPECT_EQ (empty.root, -1);
    EXPECT_EQ (empty.type, 0);
    EXPECT_EQ (empty.bass, -1);
    EXPECT_EQ (empty.presentPitchClasses, 0);

    const auto single = detector.detect (frameOf ({ 60 }));
    EXPECT_EQ (single.type, 0);
    EXPECT_EQ (single.bass, -1);
    EXPECT_EQ (single.presentPitchClasses, 0);

    // Two notes of one pitch class: no chord, but the present set and the bass are filled in.
    const auto octave = detector.detect (frameOf ({ 48, 60 }));
    EXPECT_EQ (octave.type, 0);
    EXPECT_EQ (octave.root, -1);
    EXPECT_EQ (octave.bass, 0);
    EXPECT_EQ (octave.presentPitchClasses, classes ({ 0 }));
    EXPECT_EQ (octave.chordPitchClasses, 0);
}

TEST (ChordDetector, TableOfTemplates)
{
    // Search order and weights by type id, as saved chords refer to these ids.
    const int order[] = { 8, 7, 9, 10, 1, 2, 11, 13, 14, 6, 5, 3, 4, 15, 16, 17, 12 };
    for (int i = 0; i < ChordDetector::kNumTemplates; ++i)
        EXPECT_EQ (ChordDetector::s_templates[i].type, order[i]);

    const float weights[] = { 1.0f, 1.0f, 0.95f, 0.95f, 0.95f, 0.7f, 0.6f, 0.6f, 0.85f, 0.85f, 1.0f, 0.8f, 0.6f, 0.7f, 0.8f, 0.8f, 0.8f };
    for (int type = 1; type <= 17; ++type)
        EXPECT_FLOAT_EQ (ChordDetector::typeWeight (type), weights[type - 1]);
    EXPECT_FLOAT_EQ (ChordDetector::typeWeight (0), 0.5f);
    EXPECT_FLOAT_EQ (ChordDetector::typeWeight (18), 0.5f);

    EXPECT_EQ (ChordDetector::templateForType (13)->intervals, classes ({ 0, 3, 6, 9 }));
    EXPECT_EQ (ChordDetector::templateForType (13)->minimumNotes, 4);
    EXPECT_EQ (ChordDetector::templateForType (11)->minimumNotes, 2);
}
