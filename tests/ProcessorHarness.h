#pragma once

#include "VarelleProcessor.h"

#include <cmath>
#include <random>
#include <vector>

namespace orvex::test
{

/** A host play head whose answers the test sets before each block. */
struct FakePlayHead : juce::AudioPlayHead
{
    bool hasPosition = true;
    bool playing = false;
    juce::Optional<juce::int64> timeInSamples;
    juce::Optional<double> bpm;

    juce::Optional<PositionInfo> getPosition() const override
    {
        if (! hasPosition)
            return {};
        PositionInfo info;
        info.setIsPlaying (playing);
        info.setTimeInSamples (timeInSamples);
        info.setBpm (bpm);
        return info;
    }
};

inline std::vector<float> noise (int n, unsigned seed, float level = 0.5f)
{
    std::mt19937 rng (seed);
    std::uniform_real_distribution<float> dist (-level, level);
    std::vector<float> v ((size_t) n);
    for (auto& s : v)
        s = dist (rng);
    return v;
}

inline std::vector<float> sine (int n, double freq, double rate, float level = 0.5f)
{
    std::vector<float> v ((size_t) n);
    for (int i = 0; i < n; ++i)
        v[(size_t) i] = level * (float) std::sin (2.0 * M_PI * freq * i / rate);
    return v;
}

/** Configures a processor with a mono or stereo input and a stereo output and prepares it. */
inline void prepare (VarelleProcessor& proc, int inputChannels, int blockSize, double rate = 44100.0)
{
    juce::AudioProcessor::BusesLayout layout;
    layout.inputBuses.add (inputChannels == 1 ? juce::AudioChannelSet::mono() : juce::AudioChannelSet::stereo());
    layout.outputBuses.add (juce::AudioChannelSet::stereo());
    proc.setBusesLayout (layout);
    proc.setRateAndBufferSizeDetails (rate, blockSize);
    proc.prepareToPlay (rate, blockSize);
}

struct Stereo
{
    std::vector<float> left, right;
};

/** Processes the input through processBlock (or processBlockBypassed) in blocks of the given
    sizes; beforeBlock(index, position) runs before every block. */
template <typename BeforeBlock>
Stereo process (VarelleProcessor& proc, const std::vector<float>& inL, const std::vector<float>* inR,
                const std::vector<int>& blockSizes, BeforeBlock&& beforeBlock, bool bypassed = false)
{
    const int total = (int) inL.size();
    Stereo out { std::vector<float> ((size_t) total), std::vector<float> ((size_t) total) };
    juce::MidiBuffer midi;
    size_t b = 0;
    int index = 0;
    int largest = 1;
    for (int s : blockSizes)
        largest = std::max (largest, s);
    juce::AudioBuffer<float> buffer (2, largest);

    for (int pos = 0; pos < total; ++index)
    {
        const int n = std::min (blockSizes[b++ % blockSizes.size()], total - pos);
        beforeBlock (index, pos);
        buffer.clear();
        buffer.copyFrom (0, 0, inL.data() + pos, n);
        if (inR != nullptr)
            buffer.copyFrom (1, 0, inR->data() + pos, n);
        else
            juce::FloatVectorOperations::fill (buffer.getWritePointer (1), 0.25f, n); // junk on an unused input channel

        juce::AudioBuffer<float> view (buffer.getArrayOfWritePointers(), 2, 0, n);
        if (bypassed)
            proc.processBlockBypassed (view, midi);
        else
            proc.processBlock (view, midi);

        std::copy (view.getReadPointer (0), view.getReadPointer (0) + n, out.left.begin() + pos);
        std::copy (view.getReadPointer (1), view.getReadPointer (1) + n, out.right.begin() + pos);
        pos += n;
    }
    return out;
}

inline Stereo process (VarelleProcessor& proc, const std::vector<float>& inL, const std::vector<float>* inR,
                       const std::vector<int>& blockSizes, bool bypassed = false)
{
    return process (proc, inL, inR, blockSizes, [] (int, int) {}, bypassed);
}

/** Largest |out[i] - gain * in[i - delay]| for i >= from. */
inline double maxError (const std::vector<float>& out, const std::vector<float>& in, int delay, int from, float gain = 1.0f)
{
    double worst = 0;
    for (size_t i = (size_t) std::max (from, delay); i < out.size(); ++i)
        worst = std::max (worst, (double) std::abs (out[i] - gain * in[i - (size_t) delay]));
    return worst;
}

inline double peak (const std::vector<float>& v, size_t from = 0, size_t to = SIZE_MAX)
{
    double m = 0;
    for (size_t i = from; i < std::min (to, v.size()); ++i)
        m = std::max (m, (double) std::abs (v[i]));
    return m;
}

} // namespace orvex::test
