#include "MidiNoteOutput.h"

#include <cmath>

namespace varelle
{

void MidiNoteOutput::reset() noexcept
{
    for (int i = 0; i < kNumKeys; ++i)
    {
        noteLevels[i] = 0.0f;
        midiNoteOn[i] = false;
    }
}

uint16_t MidiNoteOutput::allowedPitchClasses (const ChordResult& chord, int keyRoot, int keyQuality) noexcept
{
    if (chord.type != 0 && chord.root >= 0 && chord.score >= 0.3f)
        return chord.chordPitchClasses;
    if (keyRoot >= 0 && keyRoot <= 11)
        return scaleMaskForKey (keyRoot, keyQuality == 1 ? 1 : 0);
    return 0x0FFF;
}

void MidiNoteOutput::process (const float* const* keyChannels, int n, const ChordResult& chord,
                              int keyRoot, int keyQuality, juce::MidiBuffer& midi, int sampleOffset) noexcept
{
    if (! midiOutputEnabled.load (std::memory_order_relaxed))
    {
        reset();
        return;
    }

    for (int i = 0; i < kNumKeys; ++i)
    {
        double sum = 0.0;
        const float* x = keyChannels[i];
        for (int s = 0; s < n; ++s)
            sum += (double) x[s] * x[s];
        const float rms = (float) std::sqrt (sum / std::max (n, 1));
        noteLevels[i] = rms > noteLevels[i] ? 0.85f * noteLevels[i] + 0.15f * rms : noteLevels[i] * 0.985f;
    }

    const uint16_t allowed = allowedPitchClasses (chord, keyRoot, keyQuality);
    const int channel = juce::jlimit (1, 16, midiChannel.load (std::memory_order_relaxed));

    for (int i = 0; i < kNumKeys; ++i)
    {
        const int note = i + 21;
        // Hysteresis: starting needs more level than keeping.
        const float threshold = midiNoteOn[i] ? 0.02f : 0.08f;
        const bool sound = ((allowed >> (note % 12)) & 1u) != 0 && noteLevels[i] > threshold;

        if (sound && ! midiNoteOn[i])
        {
            const int velocity = (int) std::min (std::max (noteLevels[i] * 1500.0f, 40.0f), 127.0f);
            midi.addEvent (juce::MidiMessage::noteOn (channel, note, (juce::uint8) velocity), sampleOffset);
            midiNoteOn[i] = true;
        }
        else if (! sound && midiNoteOn[i])
        {
            midi.addEvent (juce::MidiMessage::noteOff (channel, note, (juce::uint8) 0), sampleOffset);
            midiNoteOn[i] = false;
        }
    }
}

} // namespace varelle
