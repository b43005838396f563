#pragma once

#include "ChordDetector.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <atomic>

namespace varelle
{

/** Turns the separated key channels into MIDI notes: each key has a smoothed level meter; a key
    whose level rises above 0.08, and whose pitch class fits the held chord (or else the key),
    sends a note-on, and a note-off once its level falls to 0.02 or below. */
class MidiNoteOutput
{
public:
    static constexpr int kNumKeys = 88;

    std::atomic<bool> midiOutputEnabled { false };
    std::atomic<int> midiChannel { 1 };

    float noteLevels[kNumKeys] {};
    bool midiNoteOn[kNumKeys] {};

    /** Clears levels and note flags without sending note-offs. */
    void reset() noexcept;

    /** Pitch classes allowed to sound: the chord's tones when a chord of score 0.3 or more is
        held, else the key's scale, else all twelve. */
    static uint16_t allowedPitchClasses (const ChordResult& chord, int keyRoot, int keyQuality) noexcept;

    /** One block: keyChannels holds the 88 key channels' (left) outputs; messages go into midi
        at sampleOffset. */
    void process (const float* const* keyChannels, int numSamples, const ChordResult& chord,
                  int keyRoot, int keyQuality, juce::MidiBuffer& midi, int sampleOffset) noexcept;
};

} // namespace varelle
