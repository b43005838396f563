#pragma once

#include "SeparationFrame.h"

#include <atomic>
#include <cstdint>

namespace varelle
{

/** The chord named by one frame's notes. */
struct ChordResult
{
    int32_t root = -1;                  // pitch class of the root, 0 = C; -1 for no chord
    int32_t type = 0;                   // chord type 1 .. 17; 0 for no chord
    int32_t bass = -1;                  // pitch class of the lowest active note; -1 without notes
    float score = 0.0f;
    uint16_t presentPitchClasses = 0;   // pitch classes among the active notes
    uint16_t chordPitchClasses = 0;     // the chosen chord's pitch classes

    bool isChord() const noexcept { return type != 0 && root >= 0; }
};

/** Names the chord formed by the active notes of a frame: the sounding pitch classes are
    matched against 17 chord templates at every sounding root and scored; a key, when set,
    favours roots in its scale. A pure function of the frame and the key. */
class ChordDetector
{
public:
    struct Template
    {
        int type;
        uint16_t intervals;   // bit i = i semitones above the root
        int minimumNotes;
    };

    static constexpr int kNumTemplates = 17;

    /** Templates in search order; earlier entries win ties. */
    static const Template s_templates[kNumTemplates];

    /** Weight of a chord type (1 .. 17); 0.5 for any other id. */
    static float typeWeight (int type) noexcept;

    /** The template of a chord type, or nullptr. */
    static const Template* templateForType (int type) noexcept;

    /** Chord type names: "maj", "min", "7", ... indexed by type; "" for 0. */
    static const char* typeName (int type) noexcept;

    ChordResult detect (const SeparationFrame& frame) const noexcept;

    // The key that biases the roots; written from any thread.
    std::atomic<int> keyRoot { -1 };
    std::atomic<int> keyQuality { 0 };
};

} // namespace varelle
