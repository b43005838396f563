#pragma once

#include "ChordDetector.h"
#include "SeparationFrame.h"

#include <array>
#include <atomic>

namespace varelle
{

/** Up to four pitch-shifted copies of the played line, each a scale-aware interval above or
    below the lowest detected note (a third above in the key, a fifth, an octave, ...), with an
    optional doubler that adds two detuned, delayed copies of each voice spread left and right.
    Without a key the held chord supplies the scale; without either the voices fall back to
    octaves. Renders once per block into a stereo bus. */
class HarmonyEngine
{
public:
    static const int s_majorScale[7];
    static const int s_minorScale[7];
    static const int s_mixolydianScale[7];

    /** The scale used for a chord type (1 .. 17) when no key is set; major for any other. */
    static const int* scaleForChordType (int type) noexcept;

    /** Degree 0 .. 6 of the scale nearest to the pitch class, relative to the root (on ties the
        lower degree). */
    static int findScaleDegree (int pitchClass, int root, const int* scale) noexcept;

    /** Semitones from a note of pitch class pc to the note `steps` scale steps away. */
    static int diatonicInterval (int pitchClass, int root, const int* scale, int steps) noexcept;

    /** Scale steps of an interval code (0 none, 1 .. 5 up, 6 / 7 / 8 a second, third, fifth
        down) and the semitones used without a key or chord. */
    static int stepsForCode (int code) noexcept;
    static int fallbackSemitones (int code) noexcept;

    /** A delay-line pitch shifter: two read taps half a buffer apart, each read with 4-point
        Catmull-Rom interpolation and faded out (sin^2) as it nears the write head. */
    class PitchShifter
    {
    public:
        static constexpr int kSize = 4096;
        float process (float input, float ratio) noexcept;
        void reset() noexcept;

    private:
        float read (float phase) const noexcept;
        std::array<float, kSize> buffer {};
        int write = 0;
        float phase = 0.0f;
    };

    struct Voice
    {
        std::atomic<bool> enabled { false };
        std::atomic<float> level { 0.5f };
        std::atomic<float> pan { 0.5f };
        std::atomic<int> intervalCode { 0 };
        std::atomic<int> octaveShift { 0 };
    };

    // Settings, written by the editor or the command line, read once per block.
    std::array<Voice, 4> harmonyVoices;
    std::atomic<bool> harmonyEnabled { false };
    std::atomic<bool> harmonySolo { false };
    std::atomic<float> harmonyLevel { 0.5f };
    std::atomic<int> keyRoot { -1 };
    std::atomic<int> keyQuality { 0 };
    std::atomic<bool> formantEnabled { false };
    std::atomic<bool> spectralHarmony { true };
    std::atomic<bool> doublerEnabled { false };
    std::atomic<float> doublerDetuneCents { 10.0f };
    std::atomic<float> doublerWidth { 0.8f };
    std::atomic<float> doublerDelayMs { 15.0f };

    /** New sample rate: clears every line, filter and the note tracker, smoothers to 1, and
        sets the voices' default intervals (a third and a fifth above, an octave, a third
        below). */
    void prepare (double sampleRate) noexcept;

    /** Clears lines, filters and the note tracker (transport start or jump); intervals stay. */
    void reset() noexcept;

    /** Renders the block into left / right (cleared first). source: the mono source (input or
        mid). spectralChannels: the left outputs of STFT channels 89 .. 100. */
    void render (const float* source, const float* const* spectralChannels, int numSamples,
                 const SeparationFrame& frame, const ChordResult& chord, float* left, float* right) noexcept;

    int getTrackedNote() const noexcept { return trackedNote; }

private:
    struct Biquad
    {
        float b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0, s1 = 0, s2 = 0;
        void setLowPass (double cutoff, double sampleRate) noexcept;
        float process (float x) noexcept;
        void clear() noexcept { s1 = s2 = 0; }
    };

    struct DelayLine
    {
        static constexpr int kSize = 8820;
        std::array<float, kSize> samples {};
        int write = 0;
        float process (float input, int delay) noexcept;
        void clear() noexcept;
    };

    struct DoublerCopy
    {
        PitchShifter shifter;
        Biquad filter;
        DelayLine line;
    };

    void updateTracker (const SeparationFrame& frame) noexcept;
    int semitonesFor (int code) const noexcept;
    static void glide (float& smoother, float target, bool snap) noexcept;

    double sampleRate = 44100.0;
    std::array<PitchShifter, 4> shifters;
    std::array<Biquad, 4> filters;
    std::array<std::array<DoublerCopy, 2>, 4> doubler;
    std::array<std::array<DelayLine, 2>, 4> spectralDoubler;
    std::array<float, 12> smoothers {};

    // Note tracker: the note the voices follow changes only after three equal blocks.
    bool initialised = false;
    int trackedNote = -1;
    float trackedFrequency = 0.0f;
    int candidateNote = -1;
    float candidateFrequency = 0.0f;
    int candidateCount = 0;
    bool changed = false;

    // The chord of the block, for the scale when no key is set.
    ChordResult chordOfBlock;
};

} // namespace varelle
