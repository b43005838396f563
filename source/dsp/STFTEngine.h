#pragma once

#include "ChannelMask.h"
#include "RealFFT.h"

#include <array>
#include <functional>
#include <memory>

namespace varelle
{

/** Short-time Fourier transform framework with 101 resynthesised output channels.

    The input is cut into periodic-Hann-windowed frames of N = 2^order samples every hop of
    N / 4 samples. Each frame's spectrum (N / 2 + 1 interleaved complex bins, unscaled) goes to a
    frame callback that fills up to 101 output spectra and flags the ones it used; every flagged
    spectrum is inverse transformed, windowed again and overlap-added (gain 2/3) into its
    channel's output stream. A channel whose spectrum is passed through unchanged reproduces
    the input delayed by exactly N samples, exactly from output sample 2N - hop on.

    Mono form: one input, one set of 101 outputs; without a mono callback the input spectrum
    goes to channel 0. Stereo form: two inputs analysed in step, two sets of outputs; without a
    stereo callback all outputs are silent. Both forms share one clock.

    Real-time use: prepare() (or reserve()) sizes everything; processing never allocates. */
class STFTEngine
{
public:
    static constexpr int kNumChannels = ChannelMask::kNumChannels;
    static constexpr float kOverlapAddGain = 0.6666667f;

    using MonoFrameCallback = std::function<void (const float* spectrum, int numBins,
                                                  float* outputSpectra, ChannelMask& mask)>;
    using StereoFrameCallback = std::function<void (const float* left, const float* right, int numBins,
                                                    float* leftOutputSpectra, float* rightOutputSpectra,
                                                    ChannelMask& mask)>;

    explicit STFTEngine (int initialOrder = 12);
    ~STFTEngine();

    /** Makes sure that a later prepare() with this order (or smaller buffers) allocates nothing:
        builds the FFT plans for the order and reserves room for N + maxBlockSize samples. */
    void reserve (int order, int maxBlockSize);

    /** Sets the frame size 2^order, sizes all buffers for blocks of up to maxBlockSize samples
        (longer blocks are fine too, only slower to reserve) and resets. */
    void prepare (int order, int maxBlockSize);

    /** Back to the start state without resizing: silent history, first frame after N samples. */
    void reset() noexcept;

    /** Mono form. outputs holds 101 pointers of at least numSamples floats each; every channel
        is written for every sample. */
    void processBlock (const float* input, float* const* outputs, int numSamples) noexcept;

    /** Stereo form: both inputs share the clock; leftOutputs / rightOutputs as in processBlock. */
    void processBlockStereo (const float* left, const float* right,
                             float* const* leftOutputs, float* const* rightOutputs, int numSamples) noexcept;

    MonoFrameCallback frameCallback;
    StereoFrameCallback stereoFrameCallback;

    /** Set by an owner whose callbacks write every flagged spectrum in full: the engine then
        skips clearing all 101 spectra before each frame, which is a large share of the memory
        traffic of a frame. Unflagged spectra are never read either way. */
    bool callbacksFillFlaggedSpectra = false;

    int getFFTOrder() const noexcept { return fftOrder; }
    int getFFTSize() const noexcept { return fftSize; }
    int getHopSize() const noexcept { return hopSize; }
    int getNumBins() const noexcept { return fftSize / 2 + 1; }
    int getLatencySamples() const noexcept { return fftSize; }
    int getFrameCount() const noexcept { return frameCount; }
    const ChannelMask& getLastMask() const noexcept { return lastMask; }

private:
    struct Side
    {
        AlignedFloats ring, accumulators, frame, spectra, scratch, synthesis;
        void size (int n, int accumulatorLength);
        void clear() noexcept;
    };

    template <bool stereo>
    void process (const float* inL, const float* inR, float* const* outL, float* const* outR, int numSamples) noexcept;

    template <bool stereo>
    void processFrame() noexcept;

    void analyse (Side& side) noexcept;
    void synthesise (Side& side, const ChannelMask& mask) noexcept;
    void readOutputs (Side& side, float* const* outputs, int offset, int count) noexcept;

    int fftOrder = 12, fftSize = 4096, hopSize = 1024, accumulatorLength = 4097;
    std::array<std::unique_ptr<RealFFT>, 16> ffts;
    const RealFFT* fft = nullptr;
    AlignedFloats window, synthesisWindow;

    Side left, right;
    int inputWritePos = 0;
    int outputReadPos = 0;   // kept modulo the accumulator length
    int outputWritePos = 0;
    int hopCountdown = 0;
    int frameCount = 0;
    ChannelMask lastMask;
};

} // namespace varelle
