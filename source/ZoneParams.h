#pragma once

#include <atomic>

namespace varelle
{

/** The settings of one pitch zone. Every field is atomic because the message thread may write
    while a block runs; readers load each field once per block. */
struct ZoneParams
{
    std::atomic<int> lowNote { 40 };
    std::atomic<int> highNote { 52 };
    std::atomic<bool> bypass { false };
    std::atomic<float> eqLowFreq { 200.0f };
    std::atomic<float> eqLowGain { 0.0f };
    std::atomic<float> eqMidFreq { 1000.0f };
    std::atomic<float> eqMidGain { 0.0f };
    std::atomic<float> eqMidQ { 1.0f };
    std::atomic<float> eqHighFreq { 4000.0f };
    std::atomic<float> eqHighGain { 0.0f };
    std::atomic<float> drive { 0.0f };
    std::atomic<float> gainDb { 0.0f };
    std::atomic<float> limiterThresholdDb { 0.0f };
    std::atomic<float> limiterReleaseMs { 100.0f };
    std::atomic<float> volume { 0.0f };
    std::atomic<float> balance { 0.5f };
    std::atomic<float> reverbSend { 0.0f };
    std::atomic<float> delayTimeMs { 250.0f };
    std::atomic<float> delayFeedback { 0.3f };
    std::atomic<float> delayMix { 0.0f };
    std::atomic<bool> delaySync { false };
    std::atomic<int> delaySyncDiv { 3 };

    /** True when MIDI note m lies in the zone's inclusive range. */
    bool contains (int midiNote) const noexcept
    {
        return lowNote.load (std::memory_order_relaxed) <= midiNote
            && midiNote <= highNote.load (std::memory_order_relaxed);
    }
};

/** Start ranges of the LOW, MID and HIGH zones (inclusive MIDI notes). */
inline constexpr int kDefaultZoneLowNotes[3] = { 40, 53, 60 };
inline constexpr int kDefaultZoneHighNotes[3] = { 52, 59, 84 };

} // namespace varelle
