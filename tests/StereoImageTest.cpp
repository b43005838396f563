#include "NotePanner.h"
#include "OutputStage.h"
#include "ProcessorHarness.h"

#include <gtest/gtest.h>

using namespace orvex::test;
using varelle::NotePanner;
using varelle::OutputStage;

namespace
{
NotePanner::Settings staticDefaults()
{
    NotePanner::Settings s;
    s.mode = 1;
    return s;
}

varelle::SeparationFrame frameOf (std::initializer_list<int> midiNotes)
{
    varelle::SeparationFrame f;
    for (int m : midiNotes)
        f.activate (m - 21, 440.0f * std::pow (2.0f, (m - 69) / 12.0f), 1.0f);
    return f;
}
} // namespace

// Static positions with the default split notes (low 52, split 62, high 76).
TEST (NotePanner, StaticPositions)
{
    struct Case { int midi; float pan; };
    const Case cases[] = { { 21, 0.5f }, { 52, 0.5f }, { 53, 0.05f }, { 62, 0.5f }, { 76, 1.0f }, { 92, 0.75f }, { 108, 0.5f } };

    NotePanner panner;
    panner.computeTargets (staticDefaults(), varelle::SeparationFrame {});
    for (const auto& c : cases)
    {
        EXPECT_NEAR (panner.targets[c.midi - 21], c.pan, 1e-6) << "MIDI " << c.midi;
        EXPECT_EQ (panner.notePans[c.midi - 21], panner.targets[c.midi - 21]) << "Static mode jumps";
    }

    auto hard = staticDefaults();
    hard.hardness = 1.0f;
    panner.computeTargets (hard, varelle::SeparationFrame {});
    for (float t : panner.targets)
        EXPECT_TRUE (t == 0.0f || t == 0.5f || t == 1.0f) << t;

    auto centred = staticDefaults();
    centred.spread = 0.0f;
    panner.computeTargets (centred, varelle::SeparationFrame {});
    for (float t : panner.targets)
        EXPECT_EQ (t, 0.5f);
}

TEST (NotePanner, DynamicSpreadsSoundingNotes)
{
    NotePanner::Settings dynamic;
    dynamic.mode = 0;

    // One held note stays centred however long it sounds.
    NotePanner single;
    for (int block = 0; block < 200; ++block)
        single.computeTargets (dynamic, frameOf ({ 64 }));
    EXPECT_EQ (single.targets[64 - 21], 0.5f);

    // Two fully active notes above the low note and below the high note go hard left and right.
    NotePanner pair;
    for (int block = 0; block < 200; ++block)
        pair.computeTargets (dynamic, frameOf ({ 57, 69 }));
    EXPECT_NEAR (pair.targets[57 - 21], 0.0f, 1e-5);
    EXPECT_NEAR (pair.targets[69 - 21], 1.0f, 1e-5);

    // Reset: pans back to the centre, envelopes cleared.
    pair.reset();
    EXPECT_EQ (pair.notePans[57 - 21], 0.5f);
    EXPECT_EQ (pair.noteActivity[57 - 21], 0.0f);
    EXPECT_FALSE (pair.notePansInitialised);
}

TEST (NotePanner, GlideAndGains)
{
    NotePanner::Settings s;
    s.mode = 0;
    s.glide = 0.7f;
    const float g = NotePanner::glideCoefficient (s);
    EXPECT_NEAR (1.0f - g, 0.003070f, 1e-6);   // about 0.3 % of the remaining distance per sample

    s.glide = 0.005f;
    EXPECT_EQ (NotePanner::glideCoefficient (s), 0.0f);
    EXPECT_EQ (NotePanner::glideCoefficient (staticDefaults()), 0.0f);

    // A centred key keeps unity gain; a hard-left key gets 1.4142 on the left only.
    NotePanner panner;
    std::vector<float> x (64, 1.0f), l (64, 0.0f), r (64, 0.0f);
    panner.targets[30] = panner.notePans[30] = 0.5f;
    panner.addChannel (30, x.data(), nullptr, true, 0.0f, l.data(), r.data(), 64);
    EXPECT_NEAR (l[10], 1.0f, 1e-4);
    EXPECT_NEAR (r[10], 1.0f, 1e-4);

    std::fill (l.begin(), l.end(), 0.0f);
    std::fill (r.begin(), r.end(), 0.0f);
    panner.targets[31] = panner.notePans[31] = 0.0f;
    panner.addChannel (31, x.data(), nullptr, true, 0.0f, l.data(), r.data(), 64);
    EXPECT_NEAR (l[10], 1.4142f, 1e-6);
    EXPECT_NEAR (r[10], 0.0f, 1e-6);
}

// Dual form: the lowest key's side is removed, the highest key's tripled (side scale 3c/87).
TEST (NotePanner, DualFormScalesTheSideByPitch)
{
    std::vector<float> left (32, 1.0f), right (32, 0.0f);   // mid 0.5, raw side 0.5
    for (int key : { 0, 87 })
        for (bool panSide : { true, false })
        {
            NotePanner panner;
            panner.targets[key] = panner.notePans[key] = 0.5f;
            std::vector<float> l (32, 0.0f), r (32, 0.0f);
            panner.addChannel (key, left.data(), right.data(), panSide, 0.0f, l.data(), r.data(), 32);
            const float side = key == 0 ? 0.0f : 3.0f * 0.5f;
            const float expectedL = panSide ? 1.0f * (0.5f + side) : 1.4142f * (0.70710678f * 0.5f + side);
            EXPECT_NEAR (l[5], expectedL, 1e-4) << "key " << key << " panSide " << panSide;
            EXPECT_NEAR (l[5] - r[5], panSide ? 2.0f * side : 2.0f * 1.4142f * side, 1e-4);
        }
}

// Gains computed once per block for a settled channel match the per-sample formula.
TEST (NotePanner, SettledChannelsMatchThePerSampleFormula)
{
    const auto x = noise (512, 3), xr = noise (512, 4);
    for (bool dual : { false, true })
    {
        NotePanner panner;
        panner.targets[40] = 0.3f;
        panner.notePans[40] = 0.3f;
        const float g = 0.99693f;
        std::vector<float> l (512, 0.0f), r (512, 0.0f);
        panner.addChannel (40, x.data(), dual ? xr.data() : nullptr, true, g, l.data(), r.data(), 512);

        float pan = 0.3f;
        for (int i = 0; i < 512; ++i)
        {
            pan = pan * g + 0.3f * (1.0f - g);
            const float gl = 1.4142f * std::cos (pan * 1.5707964f), gr = 1.4142f * std::sin (pan * 1.5707964f);
            const float mid = dual ? 0.5f * (x[(size_t) i] + xr[(size_t) i]) : x[(size_t) i];
            const float side = dual ? (3.0f * 40.0f / 87.0f) * 0.5f * (x[(size_t) i] - xr[(size_t) i]) : 0.0f;
            ASSERT_NEAR (l[(size_t) i], gl * (mid + side), 1e-6);
            ASSERT_NEAR (r[(size_t) i], gr * (mid - side), 1e-6);
        }
    }
}

//==============================================================================
namespace
{
struct StageRun
{
    std::vector<float> left, right;
};

/** Feeds blocks of a constant stereo signal through the output stage. */
StageRun runStage (OutputStage& stage, const OutputStage::Settings& settings, float inL, float inR, int blocks,
                   const std::vector<float>* side = nullptr, int n = 512)
{
    juce::Reverb reverb;
    StageRun run;
    std::vector<float> l ((size_t) n), r ((size_t) n);
    for (int b = 0; b < blocks; ++b)
    {
        std::fill (l.begin(), l.end(), inL);
        std::fill (r.begin(), r.end(), inR);
        stage.writeDry (l.data(), r.data(), n);
        stage.process (l.data(), r.data(), 2, n, settings, side != nullptr ? side->data() : nullptr, nullptr, reverb);
        run.left.insert (run.left.end(), l.begin(), l.end());
        run.right.insert (run.right.end(), r.begin(), r.end());
    }
    return run;
}
} // namespace

TEST (OutputStage, BalanceCorrectionPullsTheLouderSideDown)
{
    OutputStage stage;
    stage.prepare (44100.0, 4096, 512);
    runStage (stage, {}, 0.4f, 0.1f, 3000);
    EXPECT_NEAR (stage.balanceGains[0], 0.5f, 1e-3);   // 1 / sqrt (4)
    EXPECT_NEAR (stage.balanceGains[1], 1.0f, 1e-6);

    OutputStage off;
    off.prepare (44100.0, 4096, 512);
    OutputStage::Settings noPan;
    noPan.panEnabled = false;
    const auto run = runStage (off, noPan, 0.4f, 0.1f, 10);
    EXPECT_EQ (run.left.back(), 0.4f);
}

TEST (OutputStage, MasterPanGainAndWetDry)
{
    OutputStage::Settings s;
    s.panEnabled = false;

    s.masterPan = 0.503f;   // within 0.005 of the centre: untouched
    OutputStage a;
    a.prepare (44100.0, 4096, 512);
    EXPECT_EQ (runStage (a, s, 0.3f, 0.2f, 2).left.back(), 0.3f);

    s.masterPan = 0.0f;
    OutputStage b;
    b.prepare (44100.0, 4096, 512);
    auto run = runStage (b, s, 0.3f, 0.2f, 2);
    EXPECT_NEAR (run.left.back(), 0.3f * 1.4142f, 1e-6);
    EXPECT_NEAR (run.right.back(), 0.0f, 1e-6);

    // Wet/dry 0 gives the input delayed by one frame, times the output gain.
    s.masterPan = 0.5f;
    s.wetDryMix = 0.0f;
    s.outputGainDb = 6.0f;
    OutputStage c;
    c.prepare (44100.0, 1024, 256);
    juce::Reverb reverb;
    const auto in = noise (8192, 8);
    std::vector<float> outL, processed (256, 99.0f), processedR (256, 99.0f);
    for (int pos = 0; pos < 8192; pos += 256)
    {
        c.writeDry (in.data() + pos, in.data() + pos, 256);
        std::fill (processed.begin(), processed.end(), 99.0f);
        c.process (processed.data(), processedR.data(), 2, 256, s, nullptr, nullptr, reverb);
        outL.insert (outL.end(), processed.begin(), processed.end());
    }
    EXPECT_LT (maxError (outL, in, 1024, 1024, std::pow (10.0f, 6.0f / 20.0f)), 1e-6);
}

// M/S: width 0 leaves the processed mid times 1.4142 on both sides; width 1 adds the side,
// delayed by one frame, unscaled.
TEST (OutputStage, MidSideWidth)
{
    const int n = 256, frame = 1024;
    const auto side = noise (n, 9);
    for (float width : { 0.0f, 1.0f })
    {
        OutputStage stage;
        stage.prepare (44100.0, frame, n);
        OutputStage::Settings s;
        s.panEnabled = false;
        s.stereoWidth = width;
        const auto run = runStage (stage, s, 0.25f, 0.25f, 8, &side, n);
        const float a = std::sqrt (2.0f / (width * width + 1.0f));
        for (int i = frame; i < 8 * n; ++i)
        {
            const float sd = side[(size_t) ((i - frame) % n)];
            ASSERT_NEAR (run.left[(size_t) i], a * 0.25f + width * sd, 1e-6) << "width " << width;
            ASSERT_NEAR (run.right[(size_t) i], a * 0.25f - width * sd, 1e-6) << "width " << width;
        }
    }
}

TEST (OutputStage, FiltersRunOnlyAwayFromTheirDefaults)
{
    OutputStage::Settings s;
    s.panEnabled = false;
    OutputStage stage;
    stage.prepare (44100.0, 4096, 512);
    EXPECT_EQ (runStage (stage, s, 0.3f, 0.3f, 3).left.back(), 0.3f);   // 20 Hz and 20 kHz: no filter

    stage.outputHighPassHz = 100.0f;   // a constant signal is removed by the high-pass
    const auto run = runStage (stage, s, 0.3f, 0.3f, 40);
    EXPECT_LT (std::abs (run.left.back()), 1e-3);
}

TEST (OutputStage, StereoMeters)
{
    OutputStage stage;
    std::vector<float> l (512, 0.4f), r (512, 0.0f);
    for (int b = 0; b < 200; ++b)
        stage.updateMeters (l.data(), r.data(), 512);
    EXPECT_NEAR (stage.stereoBalanceMeter.load(), -1.0f, 1e-3);   // all left

    OutputStage silent;
    std::vector<float> zeros (512, 0.0f);
    for (int b = 0; b < 200; ++b)
        silent.updateMeters (zeros.data(), zeros.data(), 512);
    EXPECT_NEAR (silent.stereoCorrelationMeter.load(), 1.0f, 1e-3);   // silence counts as correlated
}

//==============================================================================
// Through the processor: with zone effects off the reverb never runs, whatever its mix.
TEST (StereoImage, ReverbNeedsTheZoneStage)
{
    const auto in = noise (30000, 12);
    auto render = [&] (float reverbMix, bool zones)
    {
        VarelleProcessor proc;
        proc.setParameterPlain ("reverb_mix", reverbMix);
        proc.setParameterPlain ("zone_fx_enabled", zones ? 1.0f : 0.0f);
        for (int z = 0; z < 3; ++z)
            proc.setParameterPlain (juce::String ("zone_") + juce::String (z) + "_reverb_send", 1.0f);
        prepare (proc, 1, 512);
        return process (proc, in, nullptr, { 512 });
    };
    EXPECT_EQ (render (0.0f, false).left, render (1.0f, false).left);
    EXPECT_GT (maxError (render (1.0f, true).left, render (0.0f, true).left, 0, 0), 1e-3);
}

// Default settings (Static pan): low notes stay centred, high notes of the split range go right.
TEST (StereoImage, KeysArePlacedByPitch)
{
    // A4 (440 Hz) sits between the split note 62 and the high note 76: right of centre.
    const auto tone = sine (44100, 440.0, 44100.0, 0.3f);
    VarelleProcessor proc;
    proc.setParameterPlain ("detection_engine", 1.0f);
    prepare (proc, 1, 512);
    const auto out = process (proc, tone, nullptr, { 512 });
    double l = 0, r = 0;
    for (size_t i = 20000; i < out.left.size(); ++i)
    {
        l += out.left[i] * out.left[i];
        r += out.right[i] * out.right[i];
    }
    EXPECT_GT (r, 2.0 * l);
}
