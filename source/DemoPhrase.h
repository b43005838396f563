#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

namespace varelle
{

/** A short synthesised guitar phrase: plucked-string chords in the low and middle register and
    a melody that climbs into the high register, so every pitch zone has something to do.
    Deterministic for a given sample rate. Mono. */
juce::AudioBuffer<float> renderDemoPhrase (double sampleRate);

/** One plucked string (Karplus-Strong with a two-point loop filter), added into out. */
void addPluckedNote (float* out, int numSamples, double sampleRate, int midiNote,
                     float velocity, int startSample, int lengthSamples, uint32_t seed);

} // namespace varelle
