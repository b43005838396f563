#include "STFTEngine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

using varelle::ChannelMask;
using varelle::STFTEngine;

namespace
{
std::vector<float> noise (int n, unsigned seed)
{
    std::mt19937 rng (seed);
    std::uniform_real_distribution<float> dist (-0.8f, 0.8f);
    std::vector<float> v ((size_t) n);
    for (auto& s : v)
        s = dist (rng);
    return v;
}

/** Runs a signal through the engine in blocks cycling through blockSizes and returns all 101
    outputs of one side (or both, for stereo). */
struct Run
{
    std::vector<std::vector<float>> left, right;
};

Run runEngine (STFTEngine& engine, const std::vector<float>& inL, const std::vector<float>* inR,
               const std::vector<int>& blockSizes)
{
    const int total = (int) inL.size();
    Run r;
    r.left.assign (STFTEngine::kNumChannels, std::vector<float> ((size_t) total, 123.0f));
    r.right.assign (STFTEngine::kNumChannels, std::vector<float> ((size_t) total, 123.0f));

    std::vector<float*> pl (STFTEngine::kNumChannels), pr (STFTEngine::kNumChannels);
    size_t b = 0;
    for (int pos = 0; pos < total;)
    {
        const int n = std::min (blockSizes[b++ % blockSizes.size()], total - pos);
        for (int c = 0; c < STFTEngine::kNumChannels; ++c)
        {
            pl[(size_t) c] = r.left[(size_t) c].data() + pos;
            pr[(size_t) c] = r.right[(size_t) c].data() + pos;
        }
        if (inR != nullptr)
            engine.processBlockStereo (inL.data() + pos, inR->data() + pos, pl.data(), pr.data(), n);
        else
            engine.processBlock (inL.data() + pos, pl.data(), n);
        pos += n;
    }
    return r;
}

double maxDelayedError (const std::vector<float>& out, const std::vector<float>& in, int delay, int from)
{
    double worst = 0;
    for (size_t i = (size_t) from; i < out.size(); ++i)
        worst = std::max (worst, (double) std::abs (out[i] - in[i - (size_t) delay]));
    return worst;
}

bool allZero (const std::vector<float>& v, size_t from = 0, size_t to = SIZE_MAX)
{
    for (size_t i = from; i < std::min (to, v.size()); ++i)
        if (v[i] != 0.0f)
            return false;
    return true;
}
} // namespace

// Without a callback the engine passes the input through channel 0: silent for the first N
// samples, faded in until 2N - hop, exact after that; every other channel stays silent.
TEST (STFTEngine, PassThroughReproducesInputDelayedByOneFrame)
{
    for (int order : { 9, 10, 12 })
    {
        STFTEngine engine;
        engine.prepare (order, 256);
        const int n = 1 << order, hop = n / 4;
        EXPECT_EQ (engine.getHopSize(), hop);
        EXPECT_EQ (engine.getLatencySamples(), n);

        const auto in = noise (6 * n, (unsigned) order);
        const auto out = runEngine (engine, in, nullptr, { 256 });

        EXPECT_TRUE (allZero (out.left[0], 0, (size_t) n)) << "order " << order;
        EXPECT_LT (maxDelayedError (out.left[0], in, n, 2 * n - hop), 2e-6) << "order " << order;
        // Before 2N - hop fewer than four frames overlap: the output is still fading in.
        EXPECT_GT (std::abs (out.left[0][(size_t) (n + hop / 2)] - in[(size_t) (hop / 2)]), 1e-3);
        for (int c = 1; c < STFTEngine::kNumChannels; ++c)
            ASSERT_TRUE (allZero (out.left[(size_t) c])) << "channel " << c;
    }
}

// The output must not depend on how the host cuts the stream into blocks, including blocks
// longer than the size the engine was prepared for.
TEST (STFTEngine, OutputIsIndependentOfBlockSizes)
{
    const auto in = noise (20000, 7);
    STFTEngine reference;
    reference.prepare (10, 512);
    const auto expected = runEngine (reference, in, nullptr, { 20000 });

    for (const std::vector<int>& pattern : { std::vector<int> { 1 }, { 7, 64, 1, 513, 255 }, { 256 }, { 1500 } })
    {
        STFTEngine engine;
        engine.prepare (10, 512);
        const auto got = runEngine (engine, in, nullptr, pattern);
        EXPECT_EQ (got.left[0], expected.left[0]) << "pattern starting " << pattern[0];
    }
}

TEST (STFTEngine, ZeroLengthBlockChangesNothing)
{
    const auto in = noise (8192, 3);
    STFTEngine a, b;
    a.prepare (9, 128);
    b.prepare (9, 128);

    std::vector<float> dummy (STFTEngine::kNumChannels, 0.0f);
    std::vector<float*> ptrs (STFTEngine::kNumChannels, dummy.data());
    b.processBlock (in.data(), ptrs.data(), 0);
    b.processBlock (in.data(), ptrs.data(), -5);
    EXPECT_EQ (b.getFrameCount(), 0);

    EXPECT_EQ (runEngine (a, in, nullptr, { 128 }).left[0], runEngine (b, in, nullptr, { 128 }).left[0]);
}

// A callback that moves the spectrum to another channel moves the audio there; a flag without
// a spectrum adds nothing and a spectrum without its flag is ignored.
TEST (STFTEngine, CallbackChannelsAndMaskHandling)
{
    STFTEngine engine;
    engine.prepare (9, 64);
    const int n = 512, numBinsExpected = 257;

    engine.frameCallback = [&] (const float* spectrum, int numBins, float* out, ChannelMask& mask)
    {
        EXPECT_EQ (numBins, numBinsExpected);
        std::memcpy (out + 57 * (n + 2), spectrum, sizeof (float) * (size_t) (n + 2));
        mask.set (57);
        mask.set (3);                                     // flagged, but left silent
        std::memcpy (out + 100 * (n + 2), spectrum, sizeof (float) * (size_t) (n + 2)); // not flagged
    };

    const auto in = noise (8 * n, 11);
    const auto out = runEngine (engine, in, nullptr, { 64 });

    EXPECT_LT (maxDelayedError (out.left[57], in, n, 2 * n - n / 4), 2e-6);
    EXPECT_TRUE (allZero (out.left[0]));
    EXPECT_TRUE (allZero (out.left[3]));
    EXPECT_TRUE (allZero (out.left[100]));
    EXPECT_TRUE (engine.getLastMask().test (57));
    EXPECT_TRUE (engine.getLastMask().test (3));
    EXPECT_FALSE (engine.getLastMask().test (100));
}

TEST (STFTEngine, StereoFormSharesTheClockAndHasNoFallback)
{
    const int n = 1024;
    const auto in = noise (6 * n, 5);

    STFTEngine silent;
    silent.prepare (10, 100);
    const auto quiet = runEngine (silent, in, &in, { 100 });
    for (int c = 0; c < STFTEngine::kNumChannels; ++c)
    {
        ASSERT_TRUE (allZero (quiet.left[(size_t) c]));
        ASSERT_TRUE (allZero (quiet.right[(size_t) c]));
    }

    STFTEngine engine;
    engine.prepare (10, 100);
    engine.stereoFrameCallback = [] (const float* l, const float* r, int numBins, float* outL, float* outR, ChannelMask& mask)
    {
        std::memcpy (outL, l, sizeof (float) * (size_t) (2 * numBins));
        std::memcpy (outR, r, sizeof (float) * (size_t) (2 * numBins));
        mask.set (0);
    };
    const auto right = noise (6 * n, 6);
    const auto out = runEngine (engine, in, &right, { 100 });
    EXPECT_LT (maxDelayedError (out.left[0], in, n, 2 * n - n / 4), 2e-6);
    EXPECT_LT (maxDelayedError (out.right[0], right, n, 2 * n - n / 4), 2e-6);
}

// After reset the engine behaves exactly like a freshly prepared one, and the circular read
// position keeps working over many wraps of the accumulators.
TEST (STFTEngine, ResetAndLongRuns)
{
    const int n = 512;
    const auto in = noise (400 * n, 9);

    STFTEngine engine;
    engine.prepare (9, 37);
    runEngine (engine, noise (3 * n + 17, 1), nullptr, { 37 });
    engine.reset();
    EXPECT_EQ (engine.getFrameCount(), 0);
    EXPECT_TRUE (engine.getLastMask().isEmpty());

    const auto out = runEngine (engine, in, nullptr, { 37 });
    EXPECT_TRUE (allZero (out.left[0], 0, (size_t) n));
    EXPECT_LT (maxDelayedError (out.left[0], in, n, 2 * n - n / 4), 2e-6);
    // The first frame comes after N samples, then one per hop.
    EXPECT_EQ (engine.getFrameCount(), ((int) in.size() - n) / (n / 4) + 1);
}

// Switching the frame size re-prepares from silence with the new delay.
TEST (STFTEngine, RePrepareWithAnotherOrder)
{
    STFTEngine engine;
    engine.prepare (12, 512);
    runEngine (engine, noise (10000, 2), nullptr, { 512 });

    engine.prepare (9, 512);
    const auto in = noise (4096, 4);
    const auto out = runEngine (engine, in, nullptr, { 512 });
    EXPECT_TRUE (allZero (out.left[0], 0, 512));
    EXPECT_LT (maxDelayedError (out.left[0], in, 512, 2 * 512 - 128), 2e-6);
}
