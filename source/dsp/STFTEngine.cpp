#include "STFTEngine.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace varelle
{

void STFTEngine::Side::size (int n, int accLength)
{
    ring.assign ((size_t) n, 0.0f);
    accumulators.assign ((size_t) kNumChannels * (size_t) accLength, 0.0f);
    frame.assign ((size_t) (2 * n), 0.0f);
    spectra.assign ((size_t) kNumChannels * (size_t) (n + 2), 0.0f);
    scratch.assign ((size_t) (2 * n), 0.0f);
    synthesis.assign ((size_t) (2 * n), 0.0f);
}

void STFTEngine::Side::clear() noexcept
{
    std::fill (ring.begin(), ring.end(), 0.0f);
    std::fill (accumulators.begin(), accumulators.end(), 0.0f);
}

STFTEngine::STFTEngine (int initialOrder)
    : fftOrder (initialOrder), fftSize (1 << initialOrder), hopSize ((1 << initialOrder) / 4),
      accumulatorLength ((1 << initialOrder) + 1)
{
}

STFTEngine::~STFTEngine() = default;

void STFTEngine::reserve (int order, int maxBlockSize)
{
    order = std::clamp (order, 2, (int) ffts.size() - 1);
    if (ffts[(size_t) order] == nullptr)
        ffts[(size_t) order] = std::make_unique<RealFFT> (order);

    const size_t n = (size_t) 1 << order;
    const size_t accLength = n + (size_t) std::max (1, maxBlockSize);

    for (auto* side : { &left, &right })
    {
        side->ring.reserve (n);
        side->accumulators.reserve ((size_t) kNumChannels * accLength);
        side->frame.reserve (2 * n);
        side->spectra.reserve ((size_t) kNumChannels * (n + 2));
        side->scratch.reserve (2 * n);
        side->synthesis.reserve (2 * n);
    }
    window.reserve (n);
    synthesisWindow.reserve (n);
}

void STFTEngine::prepare (int order, int maxBlockSize)
{
    reserve (order, maxBlockSize);
    order = std::clamp (order, 2, (int) ffts.size() - 1);

    fftOrder = order;
    fftSize = 1 << order;
    hopSize = fftSize / 4;
    accumulatorLength = fftSize + std::max (1, maxBlockSize);
    fft = ffts[(size_t) order].get();

    window.resize ((size_t) fftSize);
    synthesisWindow.resize ((size_t) fftSize);
    for (int i = 0; i < fftSize; ++i)
    {
        // Periodic Hann: divides by N, so four frames at a hop of N / 4 overlap to a constant.
        window[(size_t) i] = (float) (0.5 * (1.0 - std::cos (2.0 * M_PI * (double) i / (double) fftSize)));
        // The inverse transform runs unscaled; its 1 / N joins the window and the gain.
        synthesisWindow[(size_t) i] = window[(size_t) i] * kOverlapAddGain / (float) fftSize;
    }

    // Both sides are sized here, so the first stereo block needs no allocation.
    left.size (fftSize, accumulatorLength);
    right.size (fftSize, accumulatorLength);
    reset();
}

void STFTEngine::reset() noexcept
{
    left.clear();
    right.clear();
    inputWritePos = 0;
    outputReadPos = 0;
    outputWritePos = fftSize % accumulatorLength;
    hopCountdown = fftSize;
    frameCount = 0;
    lastMask.clear();
}

void STFTEngine::processBlock (const float* input, float* const* outputs, int numSamples) noexcept
{
    process<false> (input, nullptr, outputs, nullptr, numSamples);
}

void STFTEngine::processBlockStereo (const float* inL, const float* inR,
                                     float* const* outL, float* const* outR, int numSamples) noexcept
{
    process<true> (inL, inR, outL, outR, numSamples);
}

template <bool stereo>
void STFTEngine::process (const float* inL, const float* inR, float* const* outL, float* const* outR, int numSamples) noexcept
{
    if (numSamples < 1 || fft == nullptr)
        return;

    // Works in runs that end at the next frame boundary. Within a run every sample is written
    // to the ring and every output slot is read and cleared; a frame adds only into slots
    // ahead of the current read position, so handling it after the run's reads is the same as
    // handling it just before the read of the run's last sample.
    int done = 0;
    while (done < numSamples)
    {
        const int run = std::min (numSamples - done, hopCountdown);

        for (int i = 0; i < run;)
        {
            const int chunk = std::min (run - i, fftSize - inputWritePos);
            std::memcpy (left.ring.data() + inputWritePos, inL + done + i, sizeof (float) * (size_t) chunk);
            if constexpr (stereo)
                std::memcpy (right.ring.data() + inputWritePos, inR + done + i, sizeof (float) * (size_t) chunk);
            inputWritePos = (inputWritePos + chunk) % fftSize;
            i += chunk;
        }

        readOutputs (left, outL, done, run);
        if constexpr (stereo)
            readOutputs (right, outR, done, run);
        outputReadPos = (outputReadPos + run) % accumulatorLength;

        hopCountdown -= run;
        done += run;

        if (hopCountdown <= 0)
        {
            processFrame<stereo>();
            hopCountdown = hopSize;
        }
    }
}

void STFTEngine::readOutputs (Side& side, float* const* outputs, int offset, int count) noexcept
{
    const int first = std::min (count, accumulatorLength - outputReadPos);
    const int second = count - first;

    for (int c = 0; c < kNumChannels; ++c)
    {
        float* acc = side.accumulators.data() + (size_t) c * (size_t) accumulatorLength;
        float* out = outputs[c] + offset;

        std::memcpy (out, acc + outputReadPos, sizeof (float) * (size_t) first);
        std::memset (acc + outputReadPos, 0, sizeof (float) * (size_t) first);
        if (second > 0)
        {
            std::memcpy (out + first, acc, sizeof (float) * (size_t) second);
            std::memset (acc, 0, sizeof (float) * (size_t) second);
        }
    }
}

void STFTEngine::analyse (Side& side) noexcept
{
    // Oldest sample first: the ring's write position holds the oldest sample.
    float* frame = side.frame.data();
    const float* ring = side.ring.data();
    const int firstPart = fftSize - inputWritePos;

    for (int k = 0; k < firstPart; ++k)
        frame[k] = ring[inputWritePos + k] * window[(size_t) k];
    for (int k = firstPart; k < fftSize; ++k)
        frame[k] = ring[k - firstPart] * window[(size_t) k];

    std::fill (side.frame.begin() + fftSize, side.frame.end(), 0.0f);
    fft->forward (frame);

    if (! callbacksFillFlaggedSpectra)
        std::fill (side.spectra.begin(), side.spectra.end(), 0.0f);
}

void STFTEngine::synthesise (Side& side, const ChannelMask& mask) noexcept
{
    const int spectrumSize = fftSize + 2;
    float* scratch = side.scratch.data();
    float* samples = side.synthesis.data();

    for (int c = 0; c < kNumChannels; ++c)
    {
        if (! mask.test (c))
            continue;

        // Channel spectra sit at a stride that breaks SIMD alignment; an aligned copy lets
        // the fastest plan run.
        std::memcpy (scratch, side.spectra.data() + (size_t) c * (size_t) spectrumSize, sizeof (float) * (size_t) spectrumSize);
        fft->inverseUnscaled (scratch, samples);

        float* acc = side.accumulators.data() + (size_t) c * (size_t) accumulatorLength;
        const int first = std::min (fftSize, accumulatorLength - outputWritePos);

        float* dst = acc + outputWritePos;
        const float* win = synthesisWindow.data();
        for (int k = 0; k < first; ++k)
            dst[k] += samples[k] * win[k];
        for (int k = first; k < fftSize; ++k)
            acc[k - first] += samples[k] * win[k];
    }
}

template <bool stereo>
void STFTEngine::processFrame() noexcept
{
    const int numBins = getNumBins();
    ChannelMask mask;

    analyse (left);
    if constexpr (stereo)
    {
        analyse (right);
        if (stereoFrameCallback)
            stereoFrameCallback (left.frame.data(), right.frame.data(), numBins,
                                 left.spectra.data(), right.spectra.data(), mask);
    }
    else
    {
        if (frameCallback)
        {
            frameCallback (left.frame.data(), numBins, left.spectra.data(), mask);
        }
        else
        {
            std::memcpy (left.spectra.data(), left.frame.data(), sizeof (float) * (size_t) (fftSize + 2));
            mask.set (0);
        }
    }

    // Bits beyond the last channel never count.
    mask.words[1] &= ((uint64_t) 1 << (kNumChannels - 64)) - 1;
    lastMask = mask;

    synthesise (left, mask);
    if constexpr (stereo)
        synthesise (right, mask);

    outputWritePos = (outputWritePos + hopSize) % accumulatorLength;
    if (frameCount < INT_MAX)
        ++frameCount;
}

template void STFTEngine::process<false> (const float*, const float*, float* const*, float* const*, int) noexcept;
template void STFTEngine::process<true> (const float*, const float*, float* const*, float* const*, int) noexcept;

} // namespace varelle
