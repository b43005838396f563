#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <atomic>
#include <vector>

namespace varelle
{

/** The end of the signal path: reverb return, M/S side return with the stereo width, slow
    balance correction, master pan, output high- and low-pass, wet/dry against the input
    delayed by one analysis frame, output gain, and the stereo meters.

    The dry and side delay lines hold one frame plus a block, so the dry and side signals stay
    aligned with the processed signal, which the analysis delays by exactly one frame. */
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

    /** Sizes the delay lines for a frame of fftSize and blocks of up to blockSize samples. */
    void prepare (double sampleRate, int fftSize, int blockSize);

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
    int fftSize = 4096;
    std::vector<float> dryLeft, dryRight, sideDelay;
    int dryWritePos = 0, dryBlockStart = 0;
    int sideWritePos = 0, sideReadPos = 0;
    Biquad hp, lp;
    BiquadState hpState[2], lpState[2];
    float filterHighHz = 0.0f, filterLowHz = 0.0f;
};

} // namespace varelle
