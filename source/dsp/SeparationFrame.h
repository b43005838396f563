#pragma once

#include <cstdint>

namespace varelle
{

/** One piano key's note in an analysis frame. */
struct NoteSlot
{
    float frequency = 0.0f;   // Hz: smoothed by the classical tracker, equal-tempered from the network
    int32_t midiNote = -1;    // key + 21; -1 in an inactive slot
    float confidence = 0.0f;  // 1.0 from the classical tracker, the note probability from the network
    bool active = false;
};

/** The note picture of one analysis frame: one slot per piano key (0 .. 87 = MIDI 21 .. 108),
    the number of active slots and the set of active keys as a 128-bit mask. */
struct SeparationFrame
{
    static constexpr int kNumKeys = 88;

    NoteSlot notes[kNumKeys];
    int32_t activeCount = 0;
    uint64_t activeKeys[2] = { 0, 0 };

    void clear() noexcept
    {
        for (auto& n : notes)
            n = NoteSlot {};
        activeCount = 0;
        activeKeys[0] = activeKeys[1] = 0;
    }

    bool isActive (int key) const noexcept
    {
        return key >= 0 && key < kNumKeys && ((activeKeys[key >> 6] >> (key & 63)) & 1u) != 0;
    }

    /** Marks key active with the given frequency and confidence (no effect when already active). */
    void activate (int key, float frequency, float confidence) noexcept
    {
        if (key < 0 || key >= kNumKeys || notes[key].active)
            return;
        notes[key] = NoteSlot { frequency, key + 21, confidence, true };
        activeKeys[key >> 6] |= (uint64_t) 1 << (key & 63);
        ++activeCount;
    }

    /** Switches an active key off: inactive, confidence 0, bit cleared, count decremented. */
    void deactivate (int key) noexcept
    {
        if (key < 0 || key >= kNumKeys || ! notes[key].active)
            return;
        notes[key].active = false;
        notes[key].confidence = 0.0f;
        activeKeys[key >> 6] &= ~((uint64_t) 1 << (key & 63));
        --activeCount;
    }
};

/** Pitch classes of a key as a 12-bit set (bit p = pitch class p, 0 = C): the major scale for
    quality 0, the natural minor scale for any other quality; 0x0FFF when root is not 0 .. 11. */
inline uint16_t scaleMaskForKey (int root, int quality) noexcept
{
    if (root < 0 || root > 11)
        return 0x0FFF;
    static constexpr int major[7] = { 0, 2, 4, 5, 7, 9, 11 };
    static constexpr int minor[7] = { 0, 2, 3, 5, 7, 8, 10 };
    const int* steps = quality == 0 ? major : minor;
    uint16_t mask = 0;
    for (int i = 0; i < 7; ++i)
        mask = (uint16_t) (mask | (1u << ((root + steps[i]) % 12)));
    return mask;
}

inline bool pitchClassInScale (uint16_t scaleMask, int pitchClass) noexcept
{
    return scaleMask == 0x0FFF || ((scaleMask >> (((pitchClass % 12) + 12) % 12)) & 1u) != 0;
}

/** The detection presets ("Guitar", "Piano", "Percussive", "Bass"): release behaviour of the
    classical tracker and thresholds of the neural detector. */
struct DetectionPreset
{
    int releaseFramesShort;
    int releaseFramesLong;
    int longHoldFrames;
    float neuralOnThreshold;
    float neuralOffThreshold;
    int neuralOnFrames;
    int neuralOffFrames;
};

/** Preset by index; 0 and any index outside 1 .. 3 give "Guitar". */
inline const DetectionPreset& detectionPreset (int index) noexcept
{
    static constexpr DetectionPreset presets[4] = {
        { 4, 12, 20, 0.65f, 0.35f, 7, 8 },   // Guitar
        { 6, 25, 12, 0.55f, 0.20f, 5, 25 },  // Piano
        { 3, 6, 30, 0.70f, 0.50f, 3, 4 },    // Percussive
        { 5, 18, 15, 0.55f, 0.25f, 7, 15 },  // Bass
    };
    return presets[index >= 1 && index <= 3 ? index : 0];
}

} // namespace varelle
