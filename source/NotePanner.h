#pragma once

#include "SeparationFrame.h"

namespace varelle
{

/** Places every key channel in the stereo field by its pitch.

    Static mode maps each key to a fixed position: keys at or below the low split note stay
    centred, keys rise from hard left just above it to the centre at the split note, on to hard
    right at the high note, and fall back towards the centre above it. Dynamic mode spreads the
    keys that are sounding around their mean pitch. Hardness pushes positions to left, centre or
    right; spread scales them towards the centre. Positions glide per sample in Dynamic mode.

    Pan positions run from 0 (left) to 1 (right); the pan law is left = 1.4142 cos(p pi / 2),
    right = 1.4142 sin(p pi / 2), so a centred key keeps unity gain on both sides. */
class NotePanner
{
public:
    static constexpr int kNumKeys = SeparationFrame::kNumKeys;
    static constexpr float kSqrt2 = 1.4142f;

    struct Settings
    {
        int mode = 1;              // 0 "Dynamic", 1 "Static"
        float hardness = 0.0f;
        float glide = 0.7f;
        float spread = 1.0f;
        int lowNote = 52, centerNote = 62, highNote = 76;
    };

    void reset() noexcept;

    /** The block's target positions (stage before the channel summation). */
    void computeTargets (const Settings& settings, const SeparationFrame& frame) noexcept;

    /** Per-sample glide coefficient for the settings. */
    static float glideCoefficient (const Settings& settings) noexcept;

    /** Adds channel c, panned, into left / right. mono: the channel signal x (right input
        null). dual: the channel's left and right signals, with the side part scaled by the
        key's height (none for the lowest key, three times for the highest) and panned with the
        mid when panSide is set. Advances the channel's glide. */
    void addChannel (int c, const float* x, const float* xRight, bool panSide, float glide,
                     float* left, float* right, int numSamples) noexcept;

    /** The shaping of a raw position p in -0.5 .. 0.5 by hardness and spread. */
    static float shape (float p, float hardness, float spread) noexcept;

    /** Static position of key i for the split notes (before shaping). */
    static float staticRawPosition (int key, int lowNote, int centerNote, int highNote) noexcept;

    float notePans[kNumKeys];
    float noteActivity[kNumKeys] {};
    bool notePansInitialised = false;
    float targets[kNumKeys];

    NotePanner() noexcept { reset(); }
};

} // namespace varelle
