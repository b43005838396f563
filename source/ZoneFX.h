#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_dsp/juce_dsp.h>

#include "ZoneParams.h"

#include <array>

namespace varelle
{

/** A delay length as a note division of the beat. */
struct SyncDivision
{
    const char* name;
    float beats;
};

/** The delay note divisions a zone can sync to, in menu order. */
inline constexpr std::array<SyncDivision, 9> kSyncDivisions { {
    { "1/16", 0.25f }, { "1/8d", 0.375f }, { "1/8", 0.5f }, { "1/4", 1.0f }, { "1/4d", 1.5f },
    { "3/8", 1.5f }, { "1/2", 2.0f }, { "1/2d", 3.0f }, { "1/1", 4.0f },
} };

/** The effect chain of one pitch zone: output gain, three-band EQ (low shelf, peak, high
    shelf), soft saturation, limiter, tempo-syncable feedback delay, and a reverb send tap that
    adds the processed zone into a shared send bus.

    updateFromParams() runs once per block before process(); it reads each field of the zone's
    record once and recomputes filter coefficients only when their inputs changed, into storage
    made at preparation, so the audio thread allocates nothing. */
class ZoneFXProcessor
{
public:
    static constexpr int kDelayLength = 24000;

    ZoneFXProcessor();

    void prepare (double sampleRate, int blockSize);
    void reset();
    void updateFromParams (const ZoneParams& params, float bpm) noexcept;
    void process (juce::AudioBuffer<float>& zone, juce::AudioBuffer<float>& send, int numSamples) noexcept;

    int getTargetDelaySamples() const noexcept { return targetDelay; }
    float getSmoothedDelaySamples() const noexcept { return smoothedDelay; }
    float getFeedback() const noexcept { return feedback; }

    /** Delay time in samples for a record at a tempo, limited to the line (0 .. 23999). */
    static int delaySamplesFor (bool sync, int divisionIndex, float delayTimeMs, float bpm, double sampleRate) noexcept;

private:
    using Filter = juce::dsp::IIR::Filter<float>;
    using Coefficients = juce::dsp::IIR::Coefficients<float>;

    double sampleRate = 44100.0;
    bool bypassed = false;
    float sendLevel = 0.0f;
    float outputGain = 1.0f;
    float limiterThresholdDb = 0.0f;
    float drive = 0.0f;

    Coefficients::Ptr lowShelf, peak, highShelf;
    Filter lowL, lowR, peakL, peakR, highL, highR;
    // Inputs the coefficients were last computed from (rate, frequency, Q, gain per band).
    std::array<float, 4> lastLow { -1.0f, -1.0f, -1.0f, -1.0f }, lastPeak { -1.0f, -1.0f, -1.0f, -1.0f },
                         lastHigh { -1.0f, -1.0f, -1.0f, -1.0f };

    juce::dsp::Limiter<float> limiter;
    float lastLimiterThreshold = 1.0e9f, lastLimiterRelease = -1.0f;

    std::array<float, kDelayLength> delayLeft {}, delayRight {};
    int writeIndex = 0;
    float delayMix = 0.0f, feedback = 0.3f;
    int targetDelay = 0;
    float smoothedDelay = 0.0f;
};

} // namespace varelle
