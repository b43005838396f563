#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <atomic>
#include <vector>

namespace varelle
{

/** The end of the signal path: reverb return, M/S side return with the stereo width, slow
    balance correction, master pan, output high- and low-pass, wet/dry against the input
    delayed by one analysis frame, output gain, and the stereo meters.

    The dry and side delay lines delay their signals by the processor's latency (one frame, plus
    the network's look-ahead when it may run), so they stay aligned with the processed signal. */
class OutputStage
{
public:
    struct Settings
    {
        bool panEnabled = true;
        float stereoWidth = 1.0f;
        float masterPan = 0.5f;
        float outputGainDb = 0.0f;
        float wetDryMix = 1.0f;
        float reverbMix = 0.3f;
        float reverbSize = 0.5f;
    };

    /** The longest delay of the dry and side signals: the largest frame plus the network's
        look-ahead of five hops. */
    static constexpr int kMaxDelaySamples = 4096 + 5 * 1024;

    /** Sizes the delay lines for blocks of up to blockSize samples; the dry and side signals
        are delayed by delaySamples, the processor's latency. */
    void prepare (double sampleRate, int delaySamples, int blockSize);

    /** A new latency (engine switch): the dry and side signals follow it. Never allocates. */
    void setDelay (int delaySamples) noexcept;
    int getDelay() const noexcept { return delay; }

    /** The mid of the current block's input as it was delaySamples ago (NaN and infinities
        read as silence): the source that lines up with the processed signal. Call after writeDry. */
    void readDelayedMid (float* dest, int numSamples) const noexcept;

    /** Clears the delay lines, filters and balance history without resizing. */
    void reset() noexcept;

    /** Stores the block's input for the wet/dry mix (before the input is overwritten). */
    void writeDry (const float* left, const float* right, int numSamples) noexcept;

    /** The output stage proper, in place on the stereo output. side: the block's M/S side
        signal in M/S form, else nullptr. reverbSend: the zone send bus when the zone stage ran,
        else nullptr. */
    void process (float* left, float* right, int numOutputChannels, int numSamples, const Settings& settings,
                  const float* side, juce::AudioBuffer<float>* reverbSend, juce::Reverb& reverb) noexcept;

    /** Stereo meters over the final output (after the flip). */
    void updateMeters (const float* left, const float* right, int numSamples) noexcept;

    std::atomic<float> outputHighPassHz { 20.0f };
    std::atomic<float> outputLowPassHz { 20000.0f };
    std::atomic<float> stereoBalanceMeter { 0.0f };
    std::atomic<float> stereoCorrelationMeter { 0.0f };

    float balanceGains[2] = { 1.0f, 1.0f };
    float reverbDamping = 0.5f;

private:
    struct Biquad
    {
        float b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    };
    struct BiquadState
    {
        float s1 = 0, s2 = 0;
    };

    static Biquad highPass (double frequency, double rate) noexcept;
    static Biquad lowPass (double frequency, double rate) noexcept;
    static float run (const Biquad& f, BiquadState& s, float x) noexcept;

    double sampleRate = 44100.0;
    int delay = 4096;
    std::vector<float> dryLeft, dryRight, sideDelay;
    int dryWritePos = 0, dryBlockStart = 0;
    int sideWritePos = 0;
    Biquad hp, lp;
    BiquadState hpState[2], lpState[2];
    float filterHighHz = 0.0f, filterLowHz = 0.0f;
};

} // namespace varelle
