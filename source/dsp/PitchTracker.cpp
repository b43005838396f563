#include "PitchTracker.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace varelle
{

namespace
{
// Fundamentals are searched from one semitone below A0 to one semitone above C8.
constexpr float kMinFundamentalHz = 25.95654f;
constexpr float kMaxFundamentalHz = 4434.922f;
constexpr int kMaxHarmonics = 12;

// Peak-level follower of the input gate: instant attack, slow decay, hysteresis between levels.
constexpr float kEnvelopeDecay = 0.93f;
constexpr float kGateCloseLevel = 0.003f;
constexpr float kGateOpenLevel = 0.03f;

// Miss count given to a key dropped by the polyphony limit, so it cannot reappear at once.
constexpr int kCutMissCount = 100;

/** Nearest MIDI note of a frequency; exact halves round away from zero. */
int midiNoteOf (float frequency) noexcept
{
    return (int) std::lround (12.0f * std::log2 (frequency / 440.0f) + 69.0f);
}

float centsBetween (float f, float g) noexcept
{
    return 1200.0f * std::log2 (f / g);
}

/** True when ratio is within half a semitone of one of the integer harmonics 2 .. 8. */
bool isHarmonicRatio (float ratio) noexcept
{
    for (int n = 2; n <= 8; ++n)
        if (std::abs (centsBetween (ratio, (float) n)) < 50.0f)
            return true;
    return false;
}

/** Counters run for as long as the plug-in does; stop at the top instead of overflowing. */
void incrementSaturating (int& counter) noexcept
{
    if (counter < INT_MAX)
        ++counter;
}

/** Stable insertion sort, largest key first. The lists are short (at most 88 entries) and
    std::stable_sort may ask the heap for a buffer, which the audio thread must not do. */
template <typename T, typename KeyFn>
void sortDescendingStable (T* items, int count, KeyFn key) noexcept
{
    for (int i = 1; i < count; ++i)
    {
        const T item = items[i];
        int j = i;
        while (j > 0 && key (items[j - 1]) < key (item))
        {
            items[j] = items[j - 1];
            --j;
        }
        items[j] = item;
    }
}

/** How well the peak list supports f0 as a fundamental: the magnitudes of up to 12 harmonics,
    the fundamental weighted strongly, with penalties for a missing or weak fundamental and for
    thin harmonic support. */
float harmonicScore (float f0, const PitchTracker::SpectralPeak* peaks, int numPeaks, float binHz,
                     double nyquist) noexcept
{
    const float tolerance = 1.5f * binHz;
    float score = 0.0f, supportSum = 0.0f, fundamentalMagnitude = 0.0f;
    int matches = 0;
    bool fundamentalFound = false;

    for (int j = 1; j <= kMaxHarmonics; ++j)
    {
        const float target = (float) j * f0;
        if ((double) target > nyquist)
            break;

        for (int p = 0; p < numPeaks; ++p)
        {
            if (std::abs (peaks[p].frequency - target) < tolerance)
            {
                const float magnitude = peaks[p].magnitude;
                supportSum += magnitude;
                ++matches;
                score += (j == 1 ? 3.0f : 1.0f / (float) j) * magnitude;
                if (j == 1)
                {
                    fundamentalMagnitude = magnitude;
                    fundamentalFound = true;
                }
                break;
            }
        }
    }

    if (! fundamentalFound)
        score *= 0.1f;
    else if (supportSum > 0.0f && fundamentalMagnitude < 0.1f * supportSum)
        score *= 0.3f;

    if (matches < 3)
        score *= 0.5f;

    return score;
}
} // namespace

PitchTracker::PitchTracker()
{
    // Sized for the default frame so that a tracker used before prepare() still works.
    medianScratch.assign ((size_t) (fftSize / 2 + 1), 0.0f);
}

void PitchTracker::prepare (double newSampleRate, int newFftSize)
{
    if (! (newSampleRate > 0.0) || newFftSize < 1)
        return;

    sampleRate = newSampleRate;
    fftSize = newFftSize;
    binHz = (float) (sampleRate / (double) fftSize);
    framesScale = std::max (1, 4096 / fftSize);
    medianScratch.assign ((size_t) (fftSize / 2 + 1), 0.0f);
    reset();
}

void PitchTracker::reset() noexcept
{
    std::fill (std::begin (hitCount), std::end (hitCount), 0);
    std::fill (std::begin (missCount), std::end (missCount), 0);
    std::fill (std::begin (noteFrequency), std::end (noteFrequency), 0.0f);
    levelEnvelope = 0.0f;
    gateOpen = false;
}

void PitchTracker::setReleaseSettings (int shortFrames, int longFrames, int longHold) noexcept
{
    releaseFramesShort = shortFrames;
    releaseFramesLong = longFrames;
    longHoldFrames = longHold;
}

int PitchTracker::findPeaks (const float* magnitudes, int numBins, SpectralPeak* peaks) noexcept
{
    if (magnitudes == nullptr || peaks == nullptr || numBins < 2)
        return 0;

    // Threshold against the spectrum's noise floor (median) and its strongest bin. A spectrum
    // longer than the prepared frame only contributes its prepared part to the median.
    const int numForMedian = std::min (numBins, (int) medianScratch.size());
    float median = 0.0f;
    if (numForMedian > 0)
    {
        std::copy (magnitudes, magnitudes + numForMedian, medianScratch.begin());
        const auto nth = medianScratch.begin() + numForMedian / 2;
        std::nth_element (medianScratch.begin(), nth, medianScratch.begin() + numForMedian);
        median = *nth;
    }

    float maximum = magnitudes[0];
    for (int i = 1; i < numBins; ++i)
        if (magnitudes[i] > maximum)
            maximum = magnitudes[i];

    const float threshold = std::max (8.0f * median, 0.005f * maximum);

    if (numBins < 5)
        return 0;

    // The list stays sorted strongest first while scanning, keeping only the kMaxPeaks largest;
    // among equal magnitudes the lower bin stays in front.
    int count = 0;
    for (int i = 2; i <= numBins - 3; ++i)
    {
        const float a = magnitudes[i - 1];
        const float b = magnitudes[i];
        const float c = magnitudes[i + 1];

        if (! (b > threshold && b > a && b > c && b > magnitudes[i - 2] && b > magnitudes[i + 2]))
            continue;

        // Parabola through the three top bins: sub-bin position and height of the true maximum.
        const float d = a - 2.0f * b + c;
        const float offset = d != 0.0f ? 0.5f * (a - c) / d : 0.0f;
        const SpectralPeak peak { i, ((float) i + offset) * binHz, b - 0.25f * (a - c) * offset };

        if (count == kMaxPeaks && ! (peak.magnitude > peaks[kMaxPeaks - 1].magnitude))
            continue;

        int pos = std::min (count, kMaxPeaks - 1);
        while (pos > 0 && peaks[pos - 1].magnitude < peak.magnitude)
        {
            peaks[pos] = peaks[pos - 1];
            --pos;
        }
        peaks[pos] = peak;
        count = std::min (count + 1, kMaxPeaks);
    }

    return count;
}

void PitchTracker::analyze (const float* magnitudes, int numBins, SeparationFrame& frame) noexcept
{
    if (magnitudes == nullptr)
        numBins = 0;

    const int heldHits = 2 * framesScale;
    const int heldMisses = 20 * framesScale;
    const int establishedMisses = 12 * framesScale;

    auto keyInScale = [this] (int key) { return pitchClassInScale (scaleMask, (key + 21) % 12); };

    // Out-of-key notes release fast; in-key notes that have been held for long release slowly.
    auto releaseLimit = [&] (int key)
    {
        if (! keyInScale (key))
            return 3 * framesScale;
        return hitCount[key] > longHoldFrames * framesScale ? releaseFramesLong * framesScale
                                                            : releaseFramesShort * framesScale;
    };

    // 1. Input gate on the peak level (DC excluded).
    float peakLevel = 0.0f;
    if (numBins >= 2)
    {
        peakLevel = magnitudes[1];
        for (int i = 2; i < numBins; ++i)
            peakLevel = std::max (peakLevel, magnitudes[i]);
    }

    if (peakLevel > levelEnvelope)
        levelEnvelope = peakLevel;
    else
        levelEnvelope = kEnvelopeDecay * levelEnvelope + (1.0f - kEnvelopeDecay) * peakLevel;

    if (gateOpen && levelEnvelope < kGateCloseLevel)
        gateOpen = false;
    else if (! gateOpen && levelEnvelope > kGateOpenLevel)
        gateOpen = true;

    bool seen[kNumKeys] {};

    if (gateOpen)
    {
        // 2. Peaks.
        SpectralPeak peaks[kMaxPeaks];
        const int numPeaks = findPeaks (magnitudes, numBins, peaks);

        // 3. Every peak in the piano range is a candidate fundamental.
        Candidate candidates[kMaxPeaks];
        int numCandidates = 0;
        const double nyquist = 0.5 * sampleRate;
        for (int p = 0; p < numPeaks; ++p)
        {
            const float f0 = peaks[p].frequency;
            if (f0 >= kMinFundamentalHz && f0 <= kMaxFundamentalHz)
                candidates[numCandidates++] = { f0, harmonicScore (f0, peaks, numPeaks, binHz, nyquist) };
        }

        // 4. With a key set, out-of-key candidates are damped, and damped further when they sit a
        //    semitone from a held in-key note (a bent or slightly detuned string, not a new note).
        if (scaleMask != 0x0FFF)
        {
            bool heldInKey[kNumKeys];
            for (int k = 0; k < kNumKeys; ++k)
                heldInKey[k] = keyInScale (k) && hitCount[k] >= heldHits && missCount[k] <= heldMisses;

            for (int c = 0; c < numCandidates; ++c)
            {
                const int midi = midiNoteOf (candidates[c].frequency);
                if (pitchClassInScale (scaleMask, midi))
                    continue;

                candidates[c].score *= 0.2f;
                const int key = midi - 21;
                if (key >= 0 && key < kNumKeys
                    && ((key > 0 && heldInKey[key - 1]) || (key < kNumKeys - 1 && heldInKey[key + 1])))
                    candidates[c].score *= 0.3f;
            }
        }

        // 5. Selection, strongest first, against octave and harmonic errors.
        if (numCandidates > 0)
        {
            sortDescendingStable (candidates, numCandidates, [] (const Candidate& c) { return c.score; });
            const float best = candidates[0].score;

            float heldFrequencies[kNumKeys];
            int numHeld = 0;
            for (int k = 0; k < kNumKeys; ++k)
                if (hitCount[k] >= heldHits && missCount[k] <= heldMisses && noteFrequency[k] > 0.0f)
                    heldFrequencies[numHeld++] = noteFrequency[k];

            // Score factor below which a harmonic of a lower note is taken for that note's
            // overtone; 0 when the ratio is not harmonic. A sounding note needs less to continue.
            auto harmonicFactor = [] (float ratio, bool established)
            {
                if (! isHarmonicRatio (ratio))
                    return 0.0f;
                if (established)
                    return 0.4f;
                return std::abs (ratio - 2.0f) < 0.15f ? 0.7f : 0.5f;
            };

            FilteredCandidate accepted[kMaxNotes];
            int numAccepted = 0;

            for (int c = 0; c < numCandidates && numAccepted < kMaxNotes; ++c)
            {
                const float f0 = candidates[c].frequency;
                const float score = candidates[c].score;

                if (score < 0.3f * best)
                    break;

                const int midi = midiNoteOf (f0);
                const int key = midi - 21;
                if (key < 0 || key >= kNumKeys)
                    continue;

                bool rejected = false;
                for (int a = 0; a < numAccepted && ! rejected; ++a)
                    rejected = accepted[a].key == key;
                if (rejected)
                    continue;

                const bool established = hitCount[key] >= heldHits && missCount[key] <= establishedMisses;

                // A new note this close to one already taken is the same partial seen twice.
                if (! established)
                    for (int a = 0; a < numAccepted && ! rejected; ++a)
                        rejected = std::abs (centsBetween (f0, accepted[a].frequency)) < 100.0f;

                for (int a = 0; a < numAccepted && ! rejected; ++a)
                {
                    const float g = accepted[a].frequency;
                    if (g > 0.0f && g < f0)
                    {
                        const float factor = harmonicFactor (f0 / g, established);
                        rejected = factor > 0.0f && score < factor * accepted[a].score;
                    }
                }

                for (int h = 0; h < numHeld && ! rejected; ++h)
                {
                    const float g = heldFrequencies[h];
                    if (g > 0.0f && g < f0)
                    {
                        const float factor = harmonicFactor (f0 / g, established);
                        rejected = factor > 0.0f && score < factor * best;
                    }
                }

                if (! rejected)
                    accepted[numAccepted++] = { f0, score, midi, key };
            }

            for (int a = 0; a < numAccepted; ++a)
            {
                const int key = accepted[a].key;
                seen[key] = true;
                incrementSaturating (hitCount[key]);
                missCount[key] = 0;
                noteFrequency[key] = noteFrequency[key] > 0.0f
                                         ? 0.8f * noteFrequency[key] + 0.2f * accepted[a].frequency
                                         : accepted[a].frequency;
            }
        }
    }

    // 6. Release: every key not detected counts a miss; past its limit the note ends.
    for (int k = 0; k < kNumKeys; ++k)
    {
        if (seen[k])
            continue;

        const int previousMisses = missCount[k];
        incrementSaturating (missCount[k]);
        if (previousMisses >= releaseLimit (k))
        {
            hitCount[k] = 0;
            noteFrequency[k] = 0.0f;
        }
    }

    // 7. Frame: keys detected often enough (out-of-key notes need more evidence) and not released.
    frame.clear();
    for (int k = 0; k < kNumKeys; ++k)
    {
        const int hitsNeeded = keyInScale (k) ? 2 * framesScale : 7 * framesScale;
        if (hitCount[k] >= hitsNeeded && missCount[k] <= releaseLimit (k))
            frame.activate (k, noteFrequency[k], 1.0f);
    }

    // 8. Polyphony limit: the longest-sounding notes stay, the rest are ended outright.
    if (frame.activeCount > kMaxNotes)
    {
        ActiveCh active[kNumKeys];
        int numActive = 0;
        for (int k = 0; k < kNumKeys; ++k)
            if (frame.isActive (k))
                active[numActive++] = { k, hitCount[k] };

        sortDescendingStable (active, numActive, [] (const ActiveCh& a) { return a.hitCount; });

        frame.clear();
        for (int i = 0; i < kMaxNotes; ++i)
            frame.activate (active[i].key, noteFrequency[active[i].key], 1.0f);

        for (int i = kMaxNotes; i < numActive; ++i)
        {
            const int key = active[i].key;
            hitCount[key] = 0;
            missCount[key] = kCutMissCount;
            noteFrequency[key] = 0.0f;
        }
    }
}

} // namespace varelle
