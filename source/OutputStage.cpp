#include "OutputStage.h"

#include <algorithm>
#include <cmath>

namespace varelle
{

namespace
{
constexpr float kHalfPi = 1.57079632679489662f;
}

void OutputStage::prepare (double rate, int delaySamples, int blockSize)
{
    sampleRate = rate;
    // The lines always have room for the longest delay plus a block, so that a new delay
    // (another frame size, or the network's look-ahead switched on) never allocates.
    const size_t length = (size_t) (kMaxDelaySamples + juce::jmax (1, blockSize));
    for (auto* line : { &dryLeft, &dryRight, &sideDelay })
    {
        line->reserve (length);
        line->assign (length, 0.0f);
    }
    setDelay (delaySamples);
    dryWritePos = 0;
    dryBlockStart = 0;
    sideWritePos = 0;
    hpState[0] = hpState[1] = lpState[0] = lpState[1] = {};
    filterHighHz = filterLowHz = 0.0f;
}

void OutputStage::setDelay (int samples) noexcept
{
    delay = juce::jlimit (0, kMaxDelaySamples, samples);
}

void OutputStage::readDelayedMid (float* dest, int n) const noexcept
{
    const int length = (int) dryLeft.size();
    if (length == 0)
    {
        std::fill (dest, dest + n, 0.0f);
        return;
    }
    int pos = ((dryBlockStart - delay) % length + length) % length;
    for (int i = 0; i < n; ++i)
    {
        const float x = 0.5f * (dryLeft[(size_t) pos] + dryRight[(size_t) pos]);
        dest[i] = std::isfinite (x) ? x : 0.0f;
        pos = pos + 1 == length ? 0 : pos + 1;
    }
}

void OutputStage::reset() noexcept
{
    for (auto* line : { &dryLeft, &dryRight, &sideDelay })
        std::fill (line->begin(), line->end(), 0.0f);
    hpState[0] = hpState[1] = lpState[0] = lpState[1] = {};
    balanceGains[0] = balanceGains[1] = 1.0f;
}

void OutputStage::writeDry (const float* left, const float* right, int n) noexcept
{
    const int length = (int) dryLeft.size();
    if (length == 0)
        return;
    dryBlockStart = dryWritePos;
    for (int i = 0; i < n; ++i)
    {
        dryLeft[(size_t) dryWritePos] = left[i];
        dryRight[(size_t) dryWritePos] = right[i];
        dryWritePos = (dryWritePos + 1) % length;
    }
}

OutputStage::Biquad OutputStage::highPass (double f, double rate) noexcept
{
    const double w = 2.0 * juce::MathConstants<double>::pi * f / rate;
    const double alpha = std::sin (w) / 1.414, c = std::cos (w), a0 = 1.0 + alpha;
    return { (float) ((1.0 + c) / 2.0 / a0), (float) (-(1.0 + c) / a0), (float) ((1.0 + c) / 2.0 / a0),
             (float) (-2.0 * c / a0), (float) ((1.0 - alpha) / a0) };
}

OutputStage::Biquad OutputStage::lowPass (double f, double rate) noexcept
{
    const double w = 2.0 * juce::MathConstants<double>::pi * f / rate;
    const double alpha = std::sin (w) / 1.414, c = std::cos (w), a0 = 1.0 + alpha;
    return { (float) ((1.0 - c) / 2.0 / a0), (float) ((1.0 - c) / a0), (float) ((1.0 - c) / 2.0 / a0),
             (float) (-2.0 * c / a0), (float) ((1.0 - alpha) / a0) };
}

float OutputStage::run (const Biquad& f, BiquadState& s, float x) noexcept
{
    // Transposed direct form II.
    const float y = f.b0 * x + s.s1;
    s.s1 = f.b1 * x - f.a1 * y + s.s2;
    s.s2 = f.b2 * x - f.a2 * y;
    return y;
}

void OutputStage::process (float* left, float* right, int numOutputChannels, int n, const Settings& s,
                           const float* side, juce::AudioBuffer<float>* reverbSend, juce::Reverb& reverb) noexcept
{
    const bool stereo = numOutputChannels >= 2 && right != nullptr;

    // Reverb return: only zone sends feed the shared reverb.
    if (reverbSend != nullptr && s.reverbMix > 0.001f)
    {
        juce::Reverb::Parameters params;
        params.roomSize = s.reverbSize;
        params.damping = reverbDamping;
        params.wetLevel = 1.0f;
        params.dryLevel = 0.0f;
        params.width = 1.0f;
        params.freezeMode = 0.0f;
        reverb.setParameters (params);

        if (reverbSend->getNumChannels() >= 2)
            reverb.processStereo (reverbSend->getWritePointer (0), reverbSend->getWritePointer (1), n);
        else
            reverb.processMono (reverbSend->getWritePointer (0), n);

        juce::FloatVectorOperations::addWithMultiply (left, reverbSend->getReadPointer (0), s.reverbMix, n);
        if (stereo)
            juce::FloatVectorOperations::addWithMultiply (right, reverbSend->getReadPointer (juce::jmin (1, reverbSend->getNumChannels() - 1)),
                                                          s.reverbMix, n);
    }

    // M/S side return: the side signal, delayed by the latency like the analysed mid, scaled by
    // the width; the mid is scaled so that the overall level stays put.
    if (side != nullptr && stereo && ! sideDelay.empty())
    {
        const int length = (int) sideDelay.size();
        const int blockStart = sideWritePos;
        for (int i = 0; i < n; ++i)
        {
            sideDelay[(size_t) sideWritePos] = side[i];
            sideWritePos = (sideWritePos + 1) % length;
        }
        int sideReadPos = ((blockStart - delay) % length + length) % length;
        const float w = s.stereoWidth;
        const float a = std::sqrt (2.0f / (w * w + 1.0f));
        for (int i = 0; i < n; ++i)
        {
            const float sd = sideDelay[(size_t) sideReadPos];
            sideReadPos = (sideReadPos + 1) % length;
            left[i] = a * left[i] + w * sd;
            right[i] = a * right[i] - w * sd;
        }
    }

    // Balance correction: pulls the louder side down by the square root of the level ratio,
    // over about 200 blocks.
    if (s.panEnabled && stereo)
    {
        double sumL = 0.0, sumR = 0.0;
        for (int i = 0; i < n; ++i)
        {
            sumL += (double) left[i] * left[i];
            sumR += (double) right[i] * right[i];
        }
        const float rmsL = (float) std::sqrt (sumL / juce::jmax (n, 1));
        const float rmsR = (float) std::sqrt (sumR / juce::jmax (n, 1));
        float targetL = 1.0f, targetR = 1.0f;
        if (rmsL > 1e-6f && rmsR > 1e-6f)
        {
            const float r = rmsL / rmsR;
            if (r > 1.0f)
                targetL = 1.0f / std::sqrt (r);
            else
                targetR = std::sqrt (r);
        }
        balanceGains[0] = 0.995f * balanceGains[0] + 0.005f * targetL;
        balanceGains[1] = 0.995f * balanceGains[1] + 0.005f * targetR;
        juce::FloatVectorOperations::multiply (left, balanceGains[0], n);
        juce::FloatVectorOperations::multiply (right, balanceGains[1], n);
    }

    if (stereo && std::abs (s.masterPan - 0.5f) > 0.005f)
    {
        juce::FloatVectorOperations::multiply (left, 1.4142f * std::cos (s.masterPan * kHalfPi), n);
        juce::FloatVectorOperations::multiply (right, 1.4142f * std::sin (s.masterPan * kHalfPi), n);
    }

    // Output filters, wet/dry and gain.
    const float highHz = outputHighPassHz.load (std::memory_order_relaxed);
    const float lowHz = outputLowPassHz.load (std::memory_order_relaxed);
    if (std::abs (highHz - filterHighHz) > 0.5f || std::abs (lowHz - filterLowHz) > 0.5f)
    {
        const double rate = sampleRate < 1.0 ? 44100.0 : sampleRate;
        hp = highPass (juce::jmax (juce::jmin ((double) highHz, 0.45 * rate), 20.0), rate);
        lp = lowPass (juce::jmax (juce::jmin ((double) lowHz, 0.45 * rate), 200.0), rate);
        filterHighHz = highHz;
        filterLowHz = lowHz;
    }

    const bool useHighPass = highHz > 25.0f, useLowPass = lowHz < 19000.0f;
    const float gain = std::pow (10.0f, s.outputGainDb / 20.0f);
    const float m = s.wetDryMix;
    const bool mixDry = m < 0.999f && ! dryLeft.empty();
    const int length = (int) dryLeft.size();

    for (int ch = 0; ch < (stereo ? 2 : 1); ++ch)
    {
        float* out = ch == 0 ? left : right;
        const std::vector<float>& dry = ch == 0 ? dryLeft : dryRight;
        int dryPos = mixDry ? ((dryBlockStart - delay) % length + length) % length : 0;

        for (int i = 0; i < n; ++i)
        {
            float y = out[i];
            if (useHighPass)
                y = run (hp, hpState[ch], y);
            if (useLowPass)
                y = run (lp, lpState[ch], y);

            if (mixDry)
            {
                y = gain * (m * y + (1.0f - m) * dry[(size_t) dryPos]);
                dryPos = dryPos + 1 == length ? 0 : dryPos + 1;
            }
            else
            {
                y = gain * y;
            }
            out[i] = y;
        }
    }
}

void OutputStage::updateMeters (const float* left, const float* right, int n) noexcept
{
    if (n < 1 || right == nullptr)
        return;

    double lr = 0.0, ll = 0.0, rr = 0.0;
    for (int i = 0; i < n; ++i)
    {
        lr += (double) left[i] * right[i];
        ll += (double) left[i] * left[i];
        rr += (double) right[i] * right[i];
    }
    const double rmsL = std::sqrt (ll / n), rmsR = std::sqrt (rr / n);
    const double b = rmsL + rmsR > 1e-8 ? 0.15 * (rmsR - rmsL) / (rmsL + rmsR) : 0.0;
    stereoBalanceMeter.store ((float) (0.85 * stereoBalanceMeter.load (std::memory_order_relaxed) + b), std::memory_order_relaxed);

    const double root = std::sqrt (ll * rr);
    const double c = root > 1e-12 ? 0.1 * lr / root : 0.1;
    stereoCorrelationMeter.store ((float) (0.9 * stereoCorrelationMeter.load (std::memory_order_relaxed) + c), std::memory_order_relaxed);
}

} // namespace varelle
