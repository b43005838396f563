#include "ChordTracker.h"

#include <cmath>

namespace varelle
{

const char* pitchClassName (int pc) noexcept
{
    static const char* const names[12] = { "C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B" };
    return pc >= 0 && pc < 12 ? names[pc] : "";
}

//==============================================================================
void ChordTracker::reset() noexcept
{
    heldPitchClasses = 0;
    heldSamples = 0;
    lastDetectedPitchClasses = 0;
    currentChord = ChordResult {};
}

void ChordTracker::update (const SeparationFrame& frame, float inputLevel, int n, const ChordDetector& detector) noexcept
{
    uint16_t present = 0;
    for (const auto& slot : frame.notes)
        if (slot.active && slot.midiNote >= 0)
            present = (uint16_t) (present | (1u << (slot.midiNote % 12)));

    if (inputLevel <= 0.01f || present == 0)
    {
        heldPitchClasses = 0;
        heldSamples = 0;
        // Only silence removes the chord; a pause in the notes keeps it.
        if (inputLevel <= 0.01f && currentChord.isChord())
        {
            currentChord = ChordResult {};
            lastDetectedPitchClasses = 0;
        }
        return;
    }

    if (present != heldPitchClasses)
    {
        heldPitchClasses = present;
        heldSamples = 0;
        return;
    }

    heldSamples += n;
    if (heldSamples >= kHoldSamples && present != lastDetectedPitchClasses)
    {
        const auto result = detector.detect (frame);
        if (result.isChord())
        {
            currentChord = result;
            lastDetectedPitchClasses = present;
        }
    }
}

//==============================================================================
namespace
{
constexpr double kMajorProfile[12] = { 6.35, 2.23, 3.48, 2.33, 4.38, 4.09, 2.52, 5.19, 2.39, 3.66, 2.29, 2.88 };
constexpr double kMinorProfile[12] = { 6.33, 2.68, 3.52, 5.38, 2.60, 3.53, 2.54, 4.75, 3.98, 2.69, 3.34, 3.17 };

struct CentredProfile
{
    double values[12];
    double sumOfSquares;
};

CentredProfile centre (const double* profile)
{
    CentredProfile c {};
    double mean = 0.0;
    for (int k = 0; k < 12; ++k)
        mean += profile[k] / 12.0;
    for (int k = 0; k < 12; ++k)
    {
        c.values[k] = profile[k] - mean;
        c.sumOfSquares += c.values[k] * c.values[k];
    }
    return c;
}

const CentredProfile& profileFor (int quality)
{
    static const CentredProfile major = centre (kMajorProfile), minor = centre (kMinorProfile);
    return quality == 0 ? major : minor;
}
} // namespace

void KeyTracker::reset() noexcept
{
    for (auto& bin : keyHistogram)
        bin = 0.0f;
    keyDecay = 0.998f;
    trackedKeyRoot = -1;
    trackedKeyQuality = 0;
    keyConfidence = 0.0f;
    keyBlockCounter = 0;
    keyMinBlocks = 40;
    keyEvalInterval = 10;
    keyCandidateRoot = -1;
    keyCandidateQuality = 0;
    keyCandidateCount = 0;
}

double KeyTracker::correlate (const float* histogram, int root, int quality) noexcept
{
    double total = 0.0;
    for (int k = 0; k < 12; ++k)
        total += histogram[k];
    double h[12], v = 0.0;
    for (int k = 0; k < 12; ++k)
    {
        h[k] = histogram[k] - total / 12.0;
        v += h[k] * h[k];
    }
    const auto& p = profileFor (quality);
    double corr = 0.0;
    for (int k = 0; k < 12; ++k)
        corr += h[(root + k) % 12] * p.values[k];
    return corr / std::sqrt (v * p.sumOfSquares + 1e-10);
}

void KeyTracker::update (const SeparationFrame& frame) noexcept
{
    for (auto& bin : keyHistogram)
        bin *= keyDecay;
    for (const auto& slot : frame.notes)
        if (slot.active && slot.midiNote >= 0)
            keyHistogram[slot.midiNote % 12] += 1.0f;

    ++keyBlockCounter;
    if (keyBlockCounter >= keyMinBlocks && keyBlockCounter % keyEvalInterval == 0)
        evaluate();
}

void KeyTracker::evaluate() noexcept
{
    double total = 0.0;
    for (float bin : keyHistogram)
        total += bin;
    if (total < 1.0)
        return;

    double v = 0.0;
    for (float bin : keyHistogram)
        v += (bin - total / 12.0) * (bin - total / 12.0);
    if (v < 1e-10)
        return;

    double best = -2.0, second = -2.0;
    int bestRoot = -1, bestMode = 0;
    for (int root = 0; root < 12; ++root)
        for (int mode = 0; mode < 2; ++mode)
        {
            const double corr = correlate (keyHistogram, root, mode);
            if (corr > best)
            {
                second = best;
                best = corr;
                bestRoot = root;
                bestMode = mode;
            }
            else if (corr > second)
            {
                second = corr;
            }
        }

    // Relative keys share their notes; when the two modes of the best root score alike, the
    // thirds in the histogram decide.
    double score = best;
    int root = bestRoot, mode = bestMode;
    const double parallel = correlate (keyHistogram, bestRoot, 1 - bestMode);
    if (std::abs (best - parallel) < 0.1)
    {
        const float minorThird = keyHistogram[(bestRoot + 3) % 12], majorThird = keyHistogram[(bestRoot + 4) % 12];
        if (bestMode == 0 && minorThird > 1.5f * majorThird)
        {
            mode = 1;
            score = parallel;
        }
        else if (bestMode == 1 && majorThird > 1.5f * minorThird)
        {
            mode = 0;
            score = parallel;
        }
    }

    if (root == keyCandidateRoot && mode == keyCandidateQuality)
        ++keyCandidateCount;
    else
    {
        keyCandidateRoot = root;
        keyCandidateQuality = mode;
        keyCandidateCount = 1;
    }

    const bool stable = keyCandidateCount >= 5;
    const float c = (float) std::min (5.0 * (score - second), 1.0);
    const bool sameAsTracked = root == trackedKeyRoot && mode == trackedKeyQuality;

    if (stable && c > keyConfidenceThreshold)
    {
        if (trackedKeyRoot < 0)
        {
            trackedKeyRoot = root;
            trackedKeyQuality = mode;
            keyConfidence = c;
        }
        else if (sameAsTracked)
        {
            keyConfidence = std::max (keyConfidence, c);
        }
        else if (c > keyConfidence + 0.15f)
        {
            trackedKeyRoot = root;
            trackedKeyQuality = mode;
            keyConfidence = c;
        }
        else
        {
            // A confidence can reach 1, and no new key can beat 1 by the margin: the held key
            // loses confidence while another one keeps winning, so the music can change key.
            keyConfidence *= 0.998f;
        }
        return;
    }

    if (trackedKeyRoot >= 0 && ! sameAsTracked)
    {
        keyConfidence *= 0.998f;
        if (keyConfidence < 0.3f * keyConfidenceThreshold)
        {
            trackedKeyRoot = -1;
            trackedKeyQuality = 0;
            keyConfidence = 0.0f;
        }
    }
}

} // namespace varelle
