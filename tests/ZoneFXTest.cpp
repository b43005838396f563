#include "ProcessorHarness.h"
#include "ZoneFX.h"

#include <gtest/gtest.h>

using namespace orvex::test;
using varelle::ZoneFXProcessor;
using varelle::ZoneParams;

namespace
{
struct Run
{
    std::vector<float> left, right, sendLeft;
};

Run runZone (ZoneFXProcessor& fx, const ZoneParams& params, const std::vector<float>& in, float bpm = 120.0f, int n = 256)
{
    Run run;
    juce::AudioBuffer<float> zone (2, n), send (2, n);
    for (size_t pos = 0; pos + (size_t) n <= in.size(); pos += (size_t) n)
    {
        zone.copyFrom (0, 0, in.data() + pos, n);
        zone.copyFrom (1, 0, in.data() + pos, n);
        zone.applyGain (1, 0, n, -0.5f);
        send.clear();
        fx.updateFromParams (params, bpm);
        fx.process (zone, send, n);
        run.left.insert (run.left.end(), zone.getReadPointer (0), zone.getReadPointer (0) + n);
        run.right.insert (run.right.end(), zone.getReadPointer (1), zone.getReadPointer (1) + n);
        run.sendLeft.insert (run.sendLeft.end(), send.getReadPointer (0), send.getReadPointer (0) + n);
    }
    return run;
}
} // namespace

TEST (ZoneFX, NeutralSettingsAreTheIdentity)
{
    ZoneFXProcessor fx;
    fx.prepare (44100.0, 256);
    ZoneParams params;   // EQ 0 dB, no drive, delay mix 0, send 0
    const auto in = noise (256 * 40, 1);
    const auto run = runZone (fx, params, in);
    EXPECT_LT (maxError (run.left, in, 0, 0), 1e-5);
    EXPECT_LT (maxError (run.right, in, 0, 0, -0.5f), 1e-5);
    EXPECT_EQ (peak (run.sendLeft), 0.0);
}

TEST (ZoneFX, BypassKeepsOnlyTheSend)
{
    ZoneFXProcessor fx;
    fx.prepare (44100.0, 256);
    ZoneParams params;
    params.bypass = true;
    params.eqLowGain = 12.0f;
    params.delayMix = 1.0f;
    params.reverbSend = 0.5f;
    const auto in = noise (256 * 8, 2);
    const auto run = runZone (fx, params, in);
    EXPECT_EQ (run.left, in);
    EXPECT_LT (maxError (run.sendLeft, in, 0, 0, 0.5f), 1e-7);
}

TEST (ZoneFX, SyncedDelayLengths)
{
    struct Case { bool sync; int division; float ms; float bpm; double rate; int samples; };
    const Case cases[] = {
        { true, 3, 0, 120.0f, 44100.0, 22050 },     // 1/4 at 120 BPM: 500 ms
        { true, 3, 0, 120.0f, 48000.0, 23999 },     // 24000 samples, limited to the line
        { true, 0, 0, 120.0f, 44100.0, 5512 },      // 1/16: 125 ms
        { true, 1, 0, 120.0f, 44100.0, 8268 },      // 1/8 dotted: 187.5 ms
        { true, 0, 0, 10.0f, 44100.0, 23999 },      // below 20 BPM counts as 20: 750 ms, limited
        { true, 42, 0, 120.0f, 44100.0, 23999 },    // division index limited to 1/1: 2 s, limited
        { true, -3, 0, 120.0f, 44100.0, 5512 },     // and to 1/16 at the other end
        { false, 3, 250.0f, 120.0f, 44100.0, 11025 },
        { false, 3, -5.0f, 120.0f, 44100.0, 0 },
    };
    for (const auto& c : cases)
        EXPECT_EQ (ZoneFXProcessor::delaySamplesFor (c.sync, c.division, c.ms, c.bpm, c.rate), c.samples)
            << "sync " << c.sync << " division " << c.division << " bpm " << c.bpm;

    EXPECT_STREQ (varelle::kSyncDivisions[4].name, "1/4d");
    EXPECT_EQ (varelle::kSyncDivisions[4].beats, varelle::kSyncDivisions[5].beats);
}

TEST (ZoneFX, DelayGlidesAndFeedbackIsLimited)
{
    ZoneFXProcessor fx;
    fx.prepare (44100.0, 100);
    ZoneParams params;
    params.delayMix = 0.5f;
    params.delayTimeMs = 100.0f;
    params.delayFeedback = 1.0f;
    fx.updateFromParams (params, 120.0f);
    EXPECT_EQ (fx.getFeedback(), 0.9f);

    // After 100 samples the read point has covered about 63 % of a change.
    juce::AudioBuffer<float> zone (2, 100), send (2, 100);
    zone.clear();
    fx.process (zone, send, 100);
    const float target = (float) fx.getTargetDelaySamples();
    EXPECT_NEAR (fx.getSmoothedDelaySamples() / target, 0.634f, 0.01f);

    // The loop always decays: an impulse into feedback "1.0" dies away.
    std::vector<float> impulse (44100 * 4, 0.0f);
    impulse[0] = 1.0f;
    ZoneFXProcessor loop;
    loop.prepare (44100.0, 256);
    const auto run = runZone (loop, params, impulse);
    EXPECT_LT (peak (run.left, run.left.size() - 4410), 0.01);
}

// Coefficients follow the framework's cookbook designs exactly, and are recomputed when a
// setting moves.
TEST (ZoneFX, EqMatchesTheCookbookDesigns)
{
    ZoneFXProcessor fx;
    fx.prepare (48000.0, 64);
    ZoneParams params;
    params.eqMidGain = 6.0f;
    params.eqMidFreq = 2000.0f;
    params.eqMidQ = 2.0f;

    juce::dsp::IIR::Filter<float> reference;
    reference.coefficients = juce::dsp::IIR::Coefficients<float>::makePeakFilter (48000.0, 2000.0f, 2.0f, std::pow (10.0f, 6.0f / 20.0f));
    reference.reset();

    const auto in = noise (64 * 20, 5);
    const auto run = runZone (fx, params, in, 120.0f, 64);
    for (size_t i = 0; i < in.size(); ++i)
        ASSERT_EQ (run.left[i], reference.processSample (in[i])) << i;

    params.eqMidGain = 0.0f;   // moved back to neutral: identity again (after the filter state decays)
    const auto after = runZone (fx, params, std::vector<float> (64 * 200, 0.25f), 120.0f, 64);
    EXPECT_NEAR (after.left.back(), 0.25f, 1e-4);
}
