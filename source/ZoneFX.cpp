#include "ZoneFX.h"

#include <cmath>

namespace varelle
{

namespace
{
float gainFromDb (float dB) noexcept
{
    return dB <= -100.0f ? 0.0f : std::pow (10.0f, dB / 20.0f);
}
} // namespace

ZoneFXProcessor::ZoneFXProcessor()
    : lowShelf (new Coefficients (1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f)),
      peak (new Coefficients (1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f)),
      highShelf (new Coefficients (1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f))
{
    lowL.coefficients = lowShelf;
    lowR.coefficients = lowShelf;
    peakL.coefficients = peak;
    peakR.coefficients = peak;
    highL.coefficients = highShelf;
    highR.coefficients = highShelf;
    limiter.setThreshold (-10.0f);
    limiter.setRelease (100.0f);
}

void ZoneFXProcessor::prepare (double newSampleRate, int blockSize)
{
    sampleRate = newSampleRate > 0.0 ? newSampleRate : 44100.0;
    for (auto* f : { &lowL, &lowR, &peakL, &peakR, &highL, &highR })
        f->reset();

    limiter.prepare ({ sampleRate, (juce::uint32) juce::jmax (1, blockSize), 2 });

    // A new rate invalidates the coefficients.
    lastLow.fill (-1.0f);
    lastPeak.fill (-1.0f);
    lastHigh.fill (-1.0f);
    reset();
}

void ZoneFXProcessor::reset()
{
    for (auto* f : { &lowL, &lowR, &peakL, &peakR, &highL, &highR })
        f->reset();
    limiter.reset();
    delayLeft.fill (0.0f);
    delayRight.fill (0.0f);
    writeIndex = 0;
}

int ZoneFXProcessor::delaySamplesFor (bool sync, int divisionIndex, float delayTimeMs, float bpm, double rate) noexcept
{
    double ms = delayTimeMs;
    if (sync)
    {
        const auto& division = kSyncDivisions[(size_t) juce::jlimit (0, (int) kSyncDivisions.size() - 1, divisionIndex)];
        ms = division.beats * 60000.0 / juce::jmax (std::isfinite (bpm) ? (double) bpm : 20.0, 20.0);
    }
    if (! std::isfinite (ms))
        return 0;
    const double samples = ms * 0.001 * rate;
    return (int) juce::jlimit (0.0, (double) (kDelayLength - 1), std::trunc (samples));
}

void ZoneFXProcessor::updateFromParams (const ZoneParams& p, float bpm) noexcept
{
    const auto relaxed = std::memory_order_relaxed;
    bypassed = p.bypass.load (relaxed);
    sendLevel = p.reverbSend.load (relaxed);
    limiterThresholdDb = p.limiterThresholdDb.load (relaxed);
    drive = p.drive.load (relaxed);
    outputGain = gainFromDb (p.gainDb.load (relaxed));

    // Coefficients follow the framework's cookbook designs; they are recomputed only when a
    // value they depend on changed, so identical settings give identical coefficients.
    const float rate = (float) sampleRate;
    const std::array<float, 4> low { rate, p.eqLowFreq.load (relaxed), 0.707f, p.eqLowGain.load (relaxed) };
    const std::array<float, 4> mid { rate, p.eqMidFreq.load (relaxed), p.eqMidQ.load (relaxed), p.eqMidGain.load (relaxed) };
    const std::array<float, 4> high { rate, p.eqHighFreq.load (relaxed), 0.707f, p.eqHighGain.load (relaxed) };

    if (low != lastLow)
    {
        *lowShelf = juce::dsp::IIR::ArrayCoefficients<float>::makeLowShelf (sampleRate, low[1], low[2], gainFromDb (low[3]));
        lastLow = low;
    }
    if (mid != lastPeak)
    {
        *peak = juce::dsp::IIR::ArrayCoefficients<float>::makePeakFilter (sampleRate, mid[1], mid[2], gainFromDb (mid[3]));
        lastPeak = mid;
    }
    if (high != lastHigh)
    {
        *highShelf = juce::dsp::IIR::ArrayCoefficients<float>::makeHighShelf (sampleRate, high[1], high[2], gainFromDb (high[3]));
        lastHigh = high;
    }

    const float release = p.limiterReleaseMs.load (relaxed);
    if (limiterThresholdDb != lastLimiterThreshold || release != lastLimiterRelease)
    {
        limiter.setThreshold (limiterThresholdDb);
        limiter.setRelease (release);
        lastLimiterThreshold = limiterThresholdDb;
        lastLimiterRelease = release;
    }

    targetDelay = delaySamplesFor (p.delaySync.load (relaxed), p.delaySyncDiv.load (relaxed),
                                   p.delayTimeMs.load (relaxed), bpm, sampleRate);
    feedback = juce::jlimit (0.0f, 0.9f, p.delayFeedback.load (relaxed));
    delayMix = p.delayMix.load (relaxed);
}

void ZoneFXProcessor::process (juce::AudioBuffer<float>& zone, juce::AudioBuffer<float>& send, int n) noexcept
{
    if (n <= 0 || zone.getNumChannels() < 2)
        return;

    float* left = zone.getWritePointer (0);
    float* right = zone.getWritePointer (1);

    if (! bypassed)
    {
        if (std::abs (outputGain - 1.0f) > 0.001f)
        {
            juce::FloatVectorOperations::multiply (left, outputGain, n);
            juce::FloatVectorOperations::multiply (right, outputGain, n);
        }

        for (int i = 0; i < n; ++i)
        {
            left[i] = highL.processSample (peakL.processSample (lowL.processSample (left[i])));
            right[i] = highR.processSample (peakR.processSample (lowR.processSample (right[i])));
        }

        if (drive > 0.001f)
        {
            const float k = 1.0f + 19.0f * drive;
            for (int i = 0; i < n; ++i)
            {
                left[i] = std::tanh (k * left[i]) / k;
                right[i] = std::tanh (k * right[i]) / k;
            }
        }

        if (limiterThresholdDb < -0.1f)
        {
            juce::dsp::AudioBlock<float> block (zone.getArrayOfWritePointers(), 2, 0, (size_t) n);
            limiter.process (juce::dsp::ProcessContextReplacing<float> (block));
        }

        if (targetDelay >= 1 && delayMix > 0.001f)
        {
            for (int i = 0; i < n; ++i)
            {
                // The read point glides towards a new delay time, bending pitch briefly
                // instead of clicking.
                smoothedDelay += 0.01f * ((float) targetDelay - smoothedDelay);
                float readPos = (float) writeIndex - smoothedDelay;
                if (readPos < 0.0f)
                    readPos += (float) kDelayLength;
                const int index = (int) readPos;
                const float t = readPos - (float) index;
                const int i0 = index % kDelayLength, i1 = (index + 1) % kDelayLength;

                const float delayedL = delayLeft[(size_t) i0] + t * (delayLeft[(size_t) i1] - delayLeft[(size_t) i0]);
                const float delayedR = delayRight[(size_t) i0] + t * (delayRight[(size_t) i1] - delayRight[(size_t) i0]);

                delayLeft[(size_t) writeIndex] = left[i] + feedback * delayedL;
                delayRight[(size_t) writeIndex] = right[i] + feedback * delayedR;
                left[i] += delayMix * delayedL;
                right[i] += delayMix * delayedR;

                writeIndex = (writeIndex + 1) % kDelayLength;
            }
        }
    }

    if (sendLevel > 0.001f && send.getNumChannels() >= 2)
    {
        juce::FloatVectorOperations::addWithMultiply (send.getWritePointer (0), left, sendLevel, n);
        juce::FloatVectorOperations::addWithMultiply (send.getWritePointer (1), right, sendLevel, n);
    }
}

} // namespace varelle
