#include "DemoPhrase.h"

#include <cmath>
#include <vector>

namespace varelle
{

void addPluckedNote (float* out, int numSamples, double sampleRate, int midiNote,
                     float velocity, int startSample, int lengthSamples, uint32_t seed)
{
    const double freq = 440.0 * std::pow (2.0, (midiNote - 69) / 12.0);
    const double period = sampleRate / freq;
    const int delay = juce::jmax (2, (int) std::floor (period - 0.5));
    // First-order all-pass tunes the fractional part of the loop length.
    const double frac = period - 0.5 - delay;
    const float apCoeff = (float) ((1.0 - frac) / (1.0 + frac));

    std::vector<float> line ((size_t) delay, 0.0f);
    uint32_t state = seed * 747796405u + 2891336453u;
    float prevNoise = 0.0f;
    for (auto& v : line)
    {
        state = state * 1664525u + 1013904223u;
        const float noise = (float) ((state >> 8) & 0xFFFF) / 32768.0f - 1.0f;
        // A softened excitation sounds more like a finger than a pick.
        v = 0.5f * (noise + prevNoise);
        prevNoise = noise;
    }

    // Loop gain: notes ring for a couple of seconds whatever their pitch.
    const float decay = (float) std::pow (0.001, 1.0 / (2.5 * freq));
    const int releaseStart = juce::jmax (0, lengthSamples - (int) (0.05 * sampleRate));
    float apState = 0.0f, lastOut = 0.0f;
    int pos = 0;

    for (int i = 0; i < lengthSamples; ++i)
    {
        const int t = startSample + i;
        if (t >= numSamples)
            break;

        const float current = line[(size_t) pos];
        const float next = line[(size_t) ((pos + 1) % delay)];
        const float averaged = decay * 0.5f * (current + next);
        const float tuned = apCoeff * (averaged - apState) + lastOut;
        apState = tuned;
        lastOut = averaged;
        line[(size_t) pos] = tuned;
        pos = (pos + 1) % delay;

        float gain = velocity;
        if (i >= releaseStart)
            gain *= 1.0f - (float) (i - releaseStart) / (float) juce::jmax (1, lengthSamples - releaseStart);
        if (t >= 0)
            out[t] += gain * current;
    }
}

juce::AudioBuffer<float> renderDemoPhrase (double sampleRate)
{
    const int total = (int) std::ceil (8.0 * sampleRate);
    juce::AudioBuffer<float> buffer (1, total);
    buffer.clear();
    float* out = buffer.getWritePointer (0);

    auto at = [sampleRate] (double seconds) { return (int) std::lround (seconds * sampleRate); };
    uint32_t seed = 1;

    // Strummed chords: E minor, C major, D major, G major (open voicings, low to high).
    const int chords[][6] = {
        { 40, 47, 52, 55, 59, 64 },
        { 48, 52, 55, 60, 64, -1 },
        { 50, 57, 62, 66, -1, -1 },
        { 43, 47, 50, 55, 59, 67 },
    };
    for (int c = 0; c < 4; ++c)
    {
        const double start = 0.1 + c * 1.0;
        int stringIndex = 0;
        for (int note : chords[c])
        {
            if (note < 0)
                continue;
            addPluckedNote (out, total, sampleRate, note, 0.22f, at (start + 0.018 * stringIndex),
                            at (1.0 - 0.018 * stringIndex), seed++);
            ++stringIndex;
        }
    }

    // Melody over a held low E: climbs from the middle register up to C6.
    addPluckedNote (out, total, sampleRate, 40, 0.25f, at (4.1), at (3.8), seed++);
    const int melody[] = { 59, 62, 64, 67, 71, 72, 74, 76, 79, 83, 84, 79 };
    for (int i = 0; i < 12; ++i)
        addPluckedNote (out, total, sampleRate, melody[i], 0.3f, at (4.1 + 0.3 * i), at (0.45), seed++);

    // Keep the peak comfortably below full scale.
    const float peak = buffer.getMagnitude (0, total);
    if (peak > 0.0f)
        buffer.applyGain (0.5f / peak);
    return buffer;
}

} // namespace varelle
