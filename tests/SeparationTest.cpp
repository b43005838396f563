#include "DemoPhrase.h"
#include "ProcessorHarness.h"

#include <gtest/gtest.h>

#include <array>

using namespace orvex::test;

namespace
{
/** Guitar chords and a melody from the plucked-string synth, mono. */
std::vector<float> guitarPhrase (double rate)
{
    const auto buffer = varelle::renderDemoPhrase (rate);
    return std::vector<float> (buffer.getReadPointer (0), buffer.getReadPointer (0) + buffer.getNumSamples());
}

double dB (double ratio) { return 20.0 * std::log10 (std::max (ratio, 1e-20)); }

/** Largest error relative to the input peak, in dB, from sample `from` on. */
double residualDb (const std::vector<float>& out, const std::vector<float>& in, int delay, int from)
{
    return dB (maxError (out, in, delay, from) / peak (in));
}
} // namespace

// With panning and zone effects off, the key channels add up to the input: the output is the
// input one latency later, to below -90 dB, in every latency mode and routing form (in M/S form
// the separated mid and the delayed side rebuild both sides).
TEST (Separation, KeyChannelsSumBackToTheInput)
{
    const auto left = guitarPhrase (44100.0);
    std::vector<float> right (left.size());
    for (size_t i = 0; i < right.size(); ++i)
        right[i] = 0.8f * left[(i + 331) % left.size()];   // a different but related right side

    for (int mode : { 0, 1, 2 })
        for (int routing : { 0, 1, 2 })   // mono, M/S, Dual
        {
            VarelleProcessor proc;
            proc.latencyMode = mode;
            proc.setParameterPlain ("pan_enabled", 0.0f);
            proc.setParameterPlain ("stereo_mode", routing == 1 ? 0.0f : 1.0f);
            prepare (proc, routing == 0 ? 1 : 2, 512);
            const int n = 1 << VarelleProcessor::fftOrderForLatencyMode (mode);

            const auto out = process (proc, left, routing == 0 ? nullptr : &right, { 512 });
            const int latency = proc.getLatencySamples(), settled = latency + n;

            SCOPED_TRACE ("latency mode " + std::to_string (mode) + ", routing " + std::to_string (routing));
            EXPECT_LT (residualDb (out.left, left, latency, settled), -90.0);
            EXPECT_LT (residualDb (out.right, routing == 0 ? left : right, latency, settled), -90.0);
        }
}

// The notes of the phrase are found: during the first chord (E minor, open voicing) the frame
// holds several of its notes.
TEST (Separation, FindsTheNotesOfAChord)
{
    // The classical tracker on the synthetic demo chord (the network, trained on sampled
    // instruments, is measured on rendered sets instead).
    const auto phrase = guitarPhrase (44100.0);
    VarelleProcessor proc;
    proc.setParameterPlain ("detection_engine", 1.0f);
    prepare (proc, 1, 512);
    int bestMatches = 0;
    process (proc, phrase, nullptr, { 512 }, [&] (int, int pos)
    {
        if (pos < 44100 * 3 / 10 || pos > 44100 * 11 / 10)
            return;
        int matches = 0;
        for (int m : { 40, 47, 52, 55, 59, 64 })
            matches += proc.noteSeparator.currentFrame.isActive (m - 21) ? 1 : 0;
        bestMatches = std::max (bestMatches, matches);
    });
    EXPECT_GE (bestMatches, 3);
}

// Stems: the zone buses as mixed plus the rest add up to the mix before the output stage, and
// a note lands in the stem of the zone that holds it, with or without the zone effects.
TEST (Separation, StemsSplitByZoneAndSumToTheMix)
{
    const auto low = sine (44100 * 2, 98.0, 44100.0, 0.3f);    // G2: LOW (40 .. 52)
    const auto high = sine (44100 * 2, 659.3, 44100.0, 0.2f);  // E5: HIGH (60 .. 84)
    std::vector<float> in (low.size());
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = low[i] + high[i];

    for (bool zoneFx : { false, true })
    {
        VarelleProcessor proc;
        proc.setParameterPlain ("detection_engine", 1.0f);
        proc.setParameterPlain ("pan_enabled", 0.0f);   // no balance correction after the mix
        proc.setParameterPlain ("zone_fx_enabled", zoneFx ? 1.0f : 0.0f);
        proc.captureStems = true;
        prepare (proc, 1, 512);

        std::array<double, 4> energy {};
        double worst = 0.0;
        juce::MidiBuffer midi;
        juce::AudioBuffer<float> block (2, 512);
        for (int pos = 0; pos + 512 <= (int) in.size(); pos += 512)
        {
            block.clear();
            block.copyFrom (0, 0, in.data() + pos, 512);
            proc.processBlock (block, midi);
            for (int i = 0; i < 512; ++i)
            {
                float sum = 0.0f;
                for (int s = 0; s < 4; ++s)
                {
                    sum += proc.stems[(size_t) s].getSample (0, i);
                    energy[(size_t) s] += std::pow (proc.stems[(size_t) s].getSample (0, i), 2.0);
                }
                worst = std::max (worst, (double) std::abs (sum - block.getSample (0, i)));
            }
        }
        SCOPED_TRACE (zoneFx ? "zone effects on" : "zone effects off");
        EXPECT_LT (worst, 1e-5);
        EXPECT_GT (energy[0], 20.0 * energy[1]);   // LOW holds the G2
        EXPECT_GT (energy[2], 20.0 * energy[1]);   // HIGH holds the E5
    }
}
