#include "NoteSeparator.h"

#include <algorithm>
#include <iterator>
#include <cmath>
#include <cstring>

namespace varelle
{

namespace
{
constexpr int kLargestFFTSize = 4096;
constexpr float kMaskFloor = 1e-10f;
constexpr float kFlagThreshold = 1e-8f;

inline bool testKeyBit (const uint64_t* words, int key) noexcept { return ((words[key >> 6] >> (key & 63)) & 1u) != 0; }
inline void setKeyBit (uint64_t* words, int key) noexcept { words[key >> 6] |= (uint64_t) 1 << (key & 63); }
} // namespace

NoteSeparator::MaskSettings NoteSeparator::maskSettingsFor (int n) noexcept
{
    const float r = 4096.0f / (float) std::max (1, n);
    MaskSettings s;
    s.maxHarmonics = n > 4095 ? 15 : (n > 1023 ? 10 : 6);
    s.sigmaBase = 0.8f * r;
    s.sigmaSlope = 0.1f * r;
    s.maskSmoothing = std::min (0.85f + 0.035f * (r - 1.0f), 0.97f);
    return s;
}

NoteSeparator::NoteSeparator()
{
    applyDetectionPreset (detectionPreset (0));
}

void NoteSeparator::prepare (double newSampleRate, int newFftSize)
{
    sampleRate = newSampleRate > 0.0 ? newSampleRate : 44100.0;
    fftSize = std::max (4, newFftSize);
    numBins = fftSize / 2 + 1;
    binHz = (float) (sampleRate / fftSize);
    maskSettings = maskSettingsFor (fftSize);

    // Capacity for the largest frame is taken once, so that re-preparing for another frame
    // size (which happens on the audio thread) never allocates.
    const size_t maxBins = (size_t) std::max (fftSize, kLargestFFTSize) / 2 + 1;
    tracker.prepare (sampleRate, std::max (fftSize, kLargestFFTSize));
    tracker.prepare (sampleRate, fftSize);

    magnitudes.reserve (maxBins);
    detectorMagnitudes.reserve (maxBins);
    spectrumHistory.reserve (3 * kHistorySlots * 2 * maxBins);
    templateRows.reserve ((size_t) kMaxListedNotes * maxBins);
    templateSum.reserve (maxBins);
    columnSum.reserve (maxBins);
    maskStore.reserve (2 * (size_t) kNumMaskChannels * maxBins);
    midSpectrum.reserve (2 * maxBins);

    magnitudes.assign ((size_t) numBins, 0.0f);
    detectorMagnitudes.assign ((size_t) numBins, 0.0f);
    spectrumHistory.assign (3 * kHistorySlots * 2 * (size_t) numBins, 0.0f);
    templateRows.assign ((size_t) kMaxListedNotes * (size_t) numBins, 0.0f);
    templateSum.assign ((size_t) numBins, 0.0f);
    columnSum.assign ((size_t) numBins, 0.0f);
    maskStore.assign (2 * (size_t) kNumMaskChannels * (size_t) numBins, 0.0f);
    midSpectrum.assign (2 * (size_t) numBins, 0.0f);
    currentMasks = maskStore.data();
    previousMasks = maskStore.data() + (size_t) kNumMaskChannels * (size_t) numBins;

    // The network's buffers are made once for the frame size it runs at.
    ownNeural.prepare (sampleRate, NeuralPitchDetector::kModelFftSize);
    ownNeural.prepare (sampleRate, fftSize);
    if (neural != &ownNeural && neural != nullptr)
        neural->prepare (sampleRate, fftSize);

    // A new frame size starts from silence: no mask history from the old one.
    reset();
}

void NoteSeparator::reset() noexcept
{
    tracker.reset();
    ownNeural.reset();
    if (neural != &ownNeural && neural != nullptr)
        neural->reset();

    std::fill (templateRows.begin(), templateRows.end(), 0.0f);
    std::fill (templateSum.begin(), templateSum.end(), 0.0f);
    if (previousMasks != nullptr)
        std::fill (previousMasks, previousMasks + (size_t) kNumMaskChannels * (size_t) numBins, 0.0f);
    previousFlags.clear();
    havePreviousMasks = false;
    std::fill (std::begin (lastFrequency), std::end (lastFrequency), 0.0f);
    previousKeys[0] = previousKeys[1] = 0;
    currentFrame.clear();
    channelMask.clear();
    std::fill (spectrumHistory.begin(), spectrumHistory.end(), 0.0f);
    historyPos = 0;
}

void NoteSeparator::setLookaheadFrames (int frames) noexcept
{
    frames = std::clamp (frames, 0, kMaxLookaheadFrames);
    if (frames == lookaheadFrames)
        return;
    lookaheadFrames = frames;
    std::fill (spectrumHistory.begin(), spectrumHistory.end(), 0.0f);
    historyPos = 0;
}

float* NoteSeparator::historySlot (int stream, int framesAgo) noexcept
{
    const int slot = ((historyPos - framesAgo) % kHistorySlots + kHistorySlots) % kHistorySlots;
    return spectrumHistory.data() + ((size_t) stream * kHistorySlots + (size_t) slot) * 2 * (size_t) numBins;
}

void NoteSeparator::setKey (int root, int quality) noexcept
{
    tracker.keyRoot.store (root);
    tracker.keyQuality.store (quality);
    chordDetector.keyRoot.store (root);
    chordDetector.keyQuality.store (quality);
}

void NoteSeparator::applyDetectionPreset (const DetectionPreset& preset) noexcept
{
    tracker.setReleaseSettings (preset.releaseFramesShort, preset.releaseFramesLong, preset.longHoldFrames);
    neuralOnThreshold = preset.neuralOnThreshold;
    neuralOffThreshold = preset.neuralOffThreshold;
    neuralOnFrames = preset.neuralOnFrames;
    neuralOffFrames = preset.neuralOffFrames;
    ownNeural.setDecisionSettings (neuralOnThreshold, neuralOffThreshold, neuralOnFrames, neuralOffFrames);
}

//==============================================================================
void NoteSeparator::processFrame (const float* spectrum, int bins, float* outputSpectra, ChannelMask& mask) noexcept
{
    if (lookaheadFrames == 0 || bins != numBins || spectrumHistory.empty())
    {
        analyzeAndComputeMasks (spectrum, bins);
        applyStoredMasks (spectrum, bins, outputSpectra, mask);
        return;
    }

    std::copy (spectrum, spectrum + 2 * bins, historySlot (0, 0));
    const float* delayed = historySlot (0, lookaheadFrames);
    analyze (delayed, spectrum, bins);
    applyStoredMasks (delayed, bins, outputSpectra, mask);
    historyPos = (historyPos + 1) % kHistorySlots;
}

void NoteSeparator::processStereoFrame (const float* left, const float* right, int bins,
                                        float* leftOut, float* rightOut, ChannelMask& mask) noexcept
{
    const int n = std::min (bins, numBins);
    float* mid = midSpectrum.data();
    for (int i = 0; i < 2 * n; ++i)
        mid[i] = 0.5f * (left[i] + right[i]);

    if (lookaheadFrames == 0 || bins != numBins || spectrumHistory.empty())
    {
        analyzeAndComputeMasks (mid, n);
        applyStoredMasks (left, n, leftOut, mask);
        applyStoredMasks (right, n, rightOut, mask);
        return;
    }

    std::copy (mid, mid + 2 * n, historySlot (0, 0));
    std::copy (left, left + 2 * n, historySlot (1, 0));
    std::copy (right, right + 2 * n, historySlot (2, 0));
    analyze (historySlot (0, lookaheadFrames), mid, n);
    applyStoredMasks (historySlot (1, lookaheadFrames), n, leftOut, mask);
    applyStoredMasks (historySlot (2, lookaheadFrames), n, rightOut, mask);
    historyPos = (historyPos + 1) % kHistorySlots;
}

void NoteSeparator::applyStoredMasks (const float* spectrum, int bins, float* outputSpectra, ChannelMask& mask) const noexcept
{
    mask = channelMask;
    const int n = std::min (bins, numBins);
    if (n <= 0)
        return;

    const size_t stride = 2 * (size_t) bins;
    for (int c = 0; c < kNumMaskChannels; ++c)
    {
        if (! channelMask.test (c))
            continue;

        const float* m = getMask (c);
        float* out = outputSpectra + (size_t) c * stride;
        for (int k = 0; k < n; ++k)
        {
            out[2 * k] = spectrum[2 * k] * m[k];
            out[2 * k + 1] = spectrum[2 * k + 1] * m[k];
        }
    }
}

//==============================================================================
void NoteSeparator::analyzeAndComputeMasks (const float* spectrum, int bins) noexcept
{
    analyze (spectrum, spectrum, bins);
}

void NoteSeparator::analyze (const float* spectrum, const float* detectorSpectrum, int bins) noexcept
{
    if (bins > numBins || bins < 0 || currentMasks == nullptr)
        return;
    // A spectrum shorter than prepared is treated as silent above its last bin.
    if (bins < numBins)
        std::fill (magnitudes.begin() + bins, magnitudes.end(), 0.0f);

    scaleMask = scaleMaskForKey (tracker.keyRoot.load (std::memory_order_relaxed),
                                 tracker.keyQuality.load (std::memory_order_relaxed));
    tracker.scaleMask = scaleMask;

    for (int k = 0; k < bins; ++k)
        magnitudes[(size_t) k] = std::sqrt (spectrum[2 * k] * spectrum[2 * k] + spectrum[2 * k + 1] * spectrum[2 * k + 1]);

    // The network always takes in the newest frame; everything else works on the analysed one.
    detectorInput = magnitudes.data();
    if (detectorSpectrum != spectrum)
    {
        for (int k = 0; k < bins; ++k)
            detectorMagnitudes[(size_t) k] = std::sqrt (detectorSpectrum[2 * k] * detectorSpectrum[2 * k]
                                                        + detectorSpectrum[2 * k + 1] * detectorSpectrum[2 * k + 1]);
        std::fill (detectorMagnitudes.begin() + bins, detectorMagnitudes.end(), 0.0f);
        detectorInput = detectorMagnitudes.data();
    }

    if (bins >= 3)
        updateCentroid();

    detectNotes();
    learnHarmonicProfile();
    applyChordFilter();
    buildMasks();
}

void NoteSeparator::updateCentroid() noexcept
{
    double total = 0.0, weighted = 0.0;
    const double hzPerBin = sampleRate / fftSize;
    for (int k = 2; k < numBins; ++k)
    {
        total += magnitudes[(size_t) k];
        weighted += (double) magnitudes[(size_t) k] * ((double) k * hzPerBin);
    }
    const double centroid = total > 1e-6 ? weighted / total : 0.0;
    if (total > 0.01)
        centroidAverage = (float) (0.95 * centroidAverage + 0.05 * centroid);

    // The automatic engine changes at most every 86 frames (about two seconds at N = 4096),
    // with a gap between the two thresholds so that it does not flap.
    if (framesSinceSwitch++ >= 86)
    {
        const int current = autoEngine.load (std::memory_order_relaxed);
        int next = current;
        if (current == engineClassical && centroidAverage > 200.0f)
            next = engineNeural;
        else if (current == engineNeural && centroidAverage < 130.0f)
            next = engineClassical;

        if (next != current)
        {
            autoEngine.store (next, std::memory_order_relaxed);
            framesSinceSwitch = 0;
        }
    }
}

void NoteSeparator::detectNotes() noexcept
{
    int engine = engineSelect.load (std::memory_order_relaxed);
    if (engine == engineAuto)
        engine = autoEngine.load (std::memory_order_relaxed);

    if (engine == engineNeural && neural != nullptr && neural->isReady())
    {
        neural->detect (detectorInput != nullptr ? detectorInput : magnitudes.data(), numBins, scaleMask, currentFrame);
        lastEngineUsed = engineNeural;
    }
    else
    {
        tracker.analyze (magnitudes.data(), numBins, currentFrame);
        lastEngineUsed = engineClassical;
    }
}

void NoteSeparator::learnHarmonicProfile() noexcept
{
    const int active = currentFrame.activeCount;
    if (active <= 0)
        return;

    const float w = active == 1 ? 1.0f : (active == 2 ? 0.5f : 0.2f);
    const double nyquist = 0.5 * sampleRate;

    for (int key = 0; key < kNumKeys; ++key)
    {
        const auto& slot = currentFrame.notes[key];
        if (! slot.active)
            continue;

        const float f = slot.frequency;
        float h[kProfileHarmonics + 1] {};
        for (int harmonic = 1; harmonic <= kProfileHarmonics; ++harmonic)
        {
            if ((double) harmonic * f >= nyquist)
                break;
            const int centre = (int) ((float) harmonic * f / binHz + 0.5f);
            const int lo = std::max (centre - 2, 0), hi = std::min (centre + 2, numBins - 1);
            float peak = 0.0f;
            for (int b = lo; b <= hi; ++b)
                peak = std::max (peak, magnitudes[(size_t) b]);
            h[harmonic] = peak;
        }

        if (h[1] < 1e-6f)
            continue;

        for (int harmonic = 1; harmonic <= kProfileHarmonics; ++harmonic)
        {
            const float ratio = h[harmonic] / h[1];
            float& learned = learnedProfile[harmonic - 1];
            if (learnCount < 50)
            {
                profileSums[harmonic - 1] += (double) w * ratio;
                if (harmonic == 1)
                    profileWeightSum += w;
            }
            else
            {
                learned = (1.0f - 0.01f * w) * learned + 0.01f * w * ratio;
            }
        }
        if (learnCount < 50)
            for (int i = 0; i < kProfileHarmonics; ++i)
                learnedProfile[i] = (float) (profileSums[i] / profileWeightSum);

        ++learnCount;

        if (learnCount >= 15 && (! publishedProfile.present || learnCount % 10 == 0))
        {
            std::copy (std::begin (learnedProfile), std::end (learnedProfile), publishedProfile.values);
            publishedProfile.count = kProfileHarmonics;
            publishedProfile.present = true;
        }
    }
}

void NoteSeparator::applyChordFilter() noexcept
{
    const int mode = chordMode.load (std::memory_order_relaxed);

    if (currentFrame.activeCount < 2)
    {
        chordWeighting = false;
        chordResult = ChordResult {};
        return;
    }

    if (mode == 0)
    {
        chordWeighting = false;
        return;
    }

    chordResult = chordDetector.detect (currentFrame);
    const bool accepted = chordResult.type != 0 && chordResult.root >= 0 && chordResult.score >= 0.3f;
    if (! accepted)
    {
        chordResult = ChordResult {};
        chordWeighting = false;
        return;
    }

    if (mode == 1)
    {
        chordWeightClasses = chordResult.chordPitchClasses;
        chordWeighting = true;
    }
    else
    {
        // Only chord tones go on to the masks.
        for (int key = 0; key < kNumKeys; ++key)
        {
            const auto& slot = currentFrame.notes[key];
            if (slot.active && ((chordResult.chordPitchClasses >> (slot.midiNote % 12)) & 1u) == 0)
                currentFrame.deactivate (key);
        }
    }
}

//==============================================================================
void NoteSeparator::buildTemplateRow (float* row, float f0) const noexcept
{
    const double nyquist = 0.5 * sampleRate;
    for (int l = 1; l <= maskSettings.maxHarmonics; ++l)
    {
        if ((double) l * f0 >= nyquist)
            break;

        const float weight = publishedProfile.present && publishedProfile.count >= l ? publishedProfile.values[l - 1]
                                                                                     : 1.0f / (float) l;
        const float centre = (float) l * f0 / binHz;
        const float width = maskSettings.sigmaBase + maskSettings.sigmaSlope * (float) l;
        const int lo = std::max (0, (int) (centre - 3.5f * width));
        const int hi = std::min (numBins - 1, (int) (centre + 3.5f * width));
        const float scale = -0.5f / (width * width);
        for (int k = lo; k <= hi; ++k)
        {
            const float d = (float) k - centre;
            row[k] += weight * std::exp (scale * d * d);
        }
    }
}

void NoteSeparator::buildMasks() noexcept
{
    const int nb = numBins;
    const size_t rowSize = (size_t) nb;

    // The note list: sounding keys (case A), else the keys that sounded last (case B), else
    // nothing since the last reset (case C).
    int list[kMaxListedNotes];
    int listLength = 0;
    uint64_t listed[2] = { 0, 0 };
    for (int key = 0; key < kNumKeys && listLength < kMaxListedNotes; ++key)
        if (currentFrame.notes[key].active)
            list[listLength++] = key;

    enum { caseA, caseB, caseC } which = caseC;
    if (listLength > 0)
    {
        which = caseA;
        previousKeys[0] = previousKeys[1] = 0;
        for (int j = 0; j < listLength; ++j)
            setKeyBit (previousKeys, list[j]);
    }
    else if ((previousKeys[0] | previousKeys[1]) != 0)
    {
        which = caseB;
        for (int key = 0; key < kNumKeys && listLength < kMaxListedNotes; ++key)
            if (testKeyBit (previousKeys, key))
                list[listLength++] = key;
    }
    for (int j = 0; j < listLength; ++j)
        setKeyBit (listed, list[j]);

    // Last frame's masks become the previous ones; this frame writes into the other set.
    std::swap (currentMasks, previousMasks);
    float* const cur = currentMasks;
    const float* const prev = previousMasks;
    auto row = [cur, rowSize] (int channel) { return cur + (size_t) channel * rowSize; };

    // Which rows this frame writes in full; every other row must end up zero.
    bool written[kNumMaskChannels] {};

    if (which == caseA || which == caseB)
    {
        float* sum = templateSum.data();
        std::fill (sum, sum + nb, 0.0f);

        for (int j = 0; j < listLength; ++j)
        {
            const int key = list[j];
            float* t = templateRows.data() + (size_t) j * rowSize;

            if (which == caseA)
            {
                const auto& slot = currentFrame.notes[key];
                std::fill (t, t + nb, 0.0f);
                buildTemplateRow (t, slot.frequency);

                const int pc = slot.midiNote % 12;
                const float keyWeight = scaleMask == 0x0FFF ? 1.0f : (((scaleMask >> pc) & 1u) ? 1.5f : 0.5f);
                const float chordWeight = ! chordWeighting ? 1.0f : (((chordWeightClasses >> pc) & 1u) ? 5.0f : 0.1f);
                const float w = chordWeight * keyWeight;
                for (int k = 0; k < nb; ++k)
                    t[k] = w * magnitudes[(size_t) k] * t[k] * t[k];
                for (int k = 0; k < nb; ++k)
                    sum[k] += t[k];
            }
            else if (lastFrequency[key] > 0.0f)
            {
                std::fill (t, t + nb, 0.0f);
                buildTemplateRow (t, lastFrequency[key]);
                for (int k = 0; k < nb; ++k)
                    t[k] = magnitudes[(size_t) k] * t[k] * t[k];
                for (int k = 0; k < nb; ++k)
                    sum[k] += t[k];
            }
            // else: a key without a frequency keeps its row from the previous frame, outside the sum.
        }

        for (int k = 0; k < nb; ++k)
            sum[k] += kMaskFloor;

        float* total = columnSum.data();
        std::fill (total, total + nb, 0.0f);
        for (int j = 0; j < listLength; ++j)
        {
            const float* t = templateRows.data() + (size_t) j * rowSize;
            float* m = row (list[j]);
            written[list[j]] = true;
            if (which == caseA)
            {
                // Squaring sharpens the competition: shared bins go mostly to the stronger note.
                for (int k = 0; k < nb; ++k)
                {
                    const float share = t[k] / sum[k];
                    m[k] = share * share;
                }
            }
            else
            {
                for (int k = 0; k < nb; ++k)
                    m[k] = t[k] / sum[k];
            }
            for (int k = 0; k < nb; ++k)
                total[k] += m[k];
        }

        // Where the listed masks add up to almost nothing they stay as they are.
        for (int k = 0; k < nb; ++k)
            total[k] = total[k] > kMaskFloor ? total[k] : 1.0f;
        for (int j = 0; j < listLength; ++j)
        {
            float* m = row (list[j]);
            for (int k = 0; k < nb; ++k)
                m[k] /= total[k];
        }
    }
    else
    {
        for (int key = 0; key < kNumKeys; ++key)
        {
            std::fill (row (key), row (key) + nb, 1.0f / 88.0f);
            written[key] = true;
        }
    }

    // Temporal smoothing and the per-bin sum over all keys, in key order.
    const float smoothing = maskSettings.maskSmoothing;
    float* binSum = columnSum.data();
    std::fill (binSum, binSum + nb, 0.0f);

    for (int key = 0; key < kNumKeys; ++key)
    {
        float* m = row (key);
        const float* p = prev + (size_t) key * rowSize;

        if (havePreviousMasks && testKeyBit (listed, key))
        {
            float x = smoothing;
            const auto& slot = currentFrame.notes[key];
            if (slot.active && slot.frequency > 0.0f
                && (lastFrequency[key] <= 0.0f || std::abs (1200.0f * std::log2 (slot.frequency / lastFrequency[key])) > 200.0f))
                x = 0.0f;   // a new or moved note starts from its own template

            if (x != 0.0f)
            {
                for (int k = 0; k < nb; ++k)
                {
                    m[k] = x * p[k] + (1.0f - x) * m[k];
                    binSum[k] += m[k];
                }
                continue;
            }
        }
        else if (havePreviousMasks && previousFlags.test (key))
        {
            // A note that ended fades by the smoothing factor; where no current note claims a
            // bin, the normalisation below keeps its share.
            for (int k = 0; k < nb; ++k)
            {
                m[k] = p[k] * smoothing;
                binSum[k] += m[k];
            }
            written[key] = true;
            continue;
        }

        if (written[key])
            for (int k = 0; k < nb; ++k)
                binSum[k] += m[k];
        else
            std::fill (m, m + nb, 0.0f);
    }
    std::fill (row (88), row (88) + nb, 0.0f);

    // Normalisation: in every bin the key masks sum to 1.
    bool degenerate = false;
    for (int k = 0; k < nb; ++k)
        degenerate = degenerate || ! (binSum[k] > kMaskFloor);

    for (int key = 0; key < kNumKeys; ++key)
    {
        if (! written[key])
            continue;
        float* m = row (key);
        if (! degenerate)
        {
            for (int k = 0; k < nb; ++k)
                m[k] /= binSum[k];
        }
        else
        {
            for (int k = 0; k < nb; ++k)
                if (binSum[k] > kMaskFloor)
                    m[k] /= binSum[k];
        }
    }

    if (degenerate)
    {
        // Bins that no mask claims: shared evenly among all keys, or among the listed notes.
        for (int k = 0; k < nb; ++k)
        {
            if (binSum[k] > kMaskFloor)
                continue;
            if (listLength == 0)
            {
                for (int key = 0; key < kNumKeys; ++key)
                {
                    row (key)[k] = 1.0f / 88.0f;
                    written[key] = true;
                }
            }
            else
            {
                for (int j = 0; j < listLength; ++j)
                    row (list[j])[k] = 1.0f / (float) listLength;
            }
        }
    }

    // Bookkeeping.
    for (int key = 0; key < kNumKeys; ++key)
    {
        const auto& slot = currentFrame.notes[key];
        lastFrequency[key] = slot.active ? slot.frequency : 0.0f;
    }

    channelMask.clear();
    for (int key = 0; key < kNumKeys; ++key)
    {
        if (! written[key])
            continue;
        const float* m = row (key);
        for (int k = 0; k < nb; ++k)
            if (m[k] > kFlagThreshold)
            {
                channelMask.set (key);
                break;
            }
    }

    previousFlags = channelMask;
    havePreviousMasks = true;
}

} // namespace varelle
