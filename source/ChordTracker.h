#pragma once

#include "ChordDetector.h"

#include <cstdint>

namespace varelle
{

/** Decides which chord is being held: a set of pitch classes must stay unchanged for 8820
    samples (0.2 s at 44.1 kHz) before it is named, and the chord stays current until the input
    falls silent (level 0.01 or below). Once per block. */
class ChordTracker
{
public:
    static constexpr int kHoldSamples = 8820;

    void reset() noexcept;

    /** One block: the frame's notes, the input level and the block length. */
    void update (const SeparationFrame& frame, float inputLevel, int numSamples, const ChordDetector& detector) noexcept;

    ChordResult currentChord;
    uint16_t heldPitchClasses = 0;
    int64_t heldSamples = 0;
    uint16_t lastDetectedPitchClasses = 0;
};

/** Estimates the key of the music from a decaying histogram of the sounding pitch classes,
    correlated with the Krumhansl-Kessler major and minor profiles. A new key must win five
    evaluations in a row and beat the current one's confidence by a margin. Once per block. */
class KeyTracker
{
public:
    void reset() noexcept;

    /** One block while automatic key detection is on. */
    void update (const SeparationFrame& frame) noexcept;

    /** The key the tracker currently holds (root -1 for none). */
    int trackedRoot() const noexcept { return trackedKeyRoot; }
    int trackedQuality() const noexcept { return trackedKeyQuality; }
    float confidence() const noexcept { return keyConfidence; }

    /** Correlation of a histogram with a key's profile (used by the tests as well). */
    static double correlate (const float* histogram, int root, int quality) noexcept;

    float keyHistogram[12] {};
    float keyDecay = 0.998f;
    int trackedKeyRoot = -1, trackedKeyQuality = 0;
    float keyConfidence = 0.0f;
    float keyConfidenceThreshold = 0.4f;
    int64_t keyBlockCounter = 0;
    int keyMinBlocks = 40;
    int keyEvalInterval = 10;
    int keyCandidateRoot = -1, keyCandidateQuality = 0, keyCandidateCount = 0;

private:
    void evaluate() noexcept;
};

/** Names for display and reports: "C", "C#", ... and "C maj7", "A minor". */
const char* pitchClassName (int pitchClass) noexcept;

} // namespace varelle
