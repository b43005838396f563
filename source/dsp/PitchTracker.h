#pragma once

#include "SeparationFrame.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace varelle
{

/** Classical polyphonic note detector.

    Once per STFT frame it finds the spectral peaks of the magnitude spectrum, scores every peak
    as a possible fundamental by the harmonics that support it, picks at most 12 notes with rules
    against octave and harmonic errors, and keeps per-key hit and miss counters so that notes
    start and end with hysteresis. Frame counts are given for N = 4096 and scaled by 4096 / N.

    Real-time use: prepare() sizes everything; analyze() allocates nothing. */
class PitchTracker
{
public:
    static constexpr int kNumKeys = SeparationFrame::kNumKeys;
    static constexpr int kMaxPeaks = 30;
    static constexpr int kMaxNotes = 12;

    struct SpectralPeak { int bin; float frequency; float magnitude; };
    struct Candidate { float frequency; float score; };
    struct FilteredCandidate { float frequency; float score; int midiNote; int key; };
    struct ActiveCh { int key; int hitCount; };

    PitchTracker();

    /** Sets the sample rate and frame size (bin width, frame-count scale) and clears all per-key
        state, the level envelope and the gate. Key and release settings are kept. */
    void prepare (double sampleRate, int fftSize);

    /** Clears hit and miss counters, frequencies, envelope and gate. */
    void reset() noexcept;

    /** Up to kMaxPeaks peaks of the magnitude spectrum, strongest first; returns their number. */
    int findPeaks (const float* magnitudes, int numBins, SpectralPeak* peaks) noexcept;

    /** Analyses one frame's magnitudes and writes the resulting note picture. */
    void analyze (const float* magnitudes, int numBins, SeparationFrame& frame) noexcept;

    /** Release settings of a detection preset (frame counts at N = 4096). */
    void setReleaseSettings (int shortFrames, int longFrames, int longHold) noexcept;

    // The musical key. Written by other threads, read at every frame.
    std::atomic<int> keyRoot { -1 };
    std::atomic<int> keyQuality { 0 };

    /** Pitch classes of the current key (0x0FFF without a key); set by the owner before each
        frame from keyRoot / keyQuality. */
    uint16_t scaleMask = 0x0FFF;

    int getFramesScale() const noexcept { return framesScale; }
    int getHitCount (int key) const noexcept { return hitCount[key]; }
    int getMissCount (int key) const noexcept { return missCount[key]; }
    float getNoteFrequency (int key) const noexcept { return noteFrequency[key]; }
    bool isGateOpen() const noexcept { return gateOpen; }

private:
    double sampleRate = 44100.0;
    int fftSize = 4096;
    float binHz = 44100.0f / 4096.0f;
    int framesScale = 1;
    int releaseFramesShort = 4, releaseFramesLong = 12, longHoldFrames = 20;

    int hitCount[kNumKeys] {};
    int missCount[kNumKeys] {};
    float noteFrequency[kNumKeys] {};
    float levelEnvelope = 0.0f;
    bool gateOpen = false;

    std::vector<float> medianScratch;
};

} // namespace varelle
