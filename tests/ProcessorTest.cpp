#include "ProcessorHarness.h"

#include <gtest/gtest.h>

using namespace orvex::test;

namespace
{
constexpr double kRate = 44100.0;

void setZoneFx (VarelleProcessor& proc, bool on) { proc.setParameterPlain ("zone_fx_enabled", on ? 1.0f : 0.0f); }

/** Panning (with its balance correction) off: the key channels then sum back to the input. */
void unpanned (VarelleProcessor& proc) { proc.setParameterPlain ("pan_enabled", 0.0f); }
} // namespace

TEST (Processor, FixedAnswers)
{
    VarelleProcessor proc;
    EXPECT_EQ (proc.getName(), "Varelle");
    EXPECT_EQ (proc.getTailLengthSeconds(), 0.0);
    EXPECT_FALSE (proc.acceptsMidi());
    EXPECT_FALSE (proc.isMidiEffect());
    EXPECT_TRUE (proc.hasEditor());
    EXPECT_EQ (proc.getNumPrograms(), 1);
    EXPECT_EQ (proc.getCurrentProgram(), 0);
    EXPECT_TRUE (proc.getProgramName (0).isEmpty());
    EXPECT_EQ (proc.getBus (true, 0)->getName(), "Input");
    EXPECT_EQ (proc.getBus (false, 0)->getName(), "Output");
}

TEST (Processor, BusLayouts)
{
    VarelleProcessor proc;
    using Set = juce::AudioChannelSet;
    struct Case { Set in; Set out; bool hasInput; bool accepted; };
    const Case cases[] = {
        { Set::mono(), Set::stereo(), true, true },
        { Set::stereo(), Set::stereo(), true, true },
        { Set::stereo(), Set::mono(), true, false },
        { Set::mono(), Set::mono(), true, false },
        { Set::create5point1(), Set::stereo(), true, false },
        { Set::stereo(), Set::create5point1(), true, false },
        { Set(), Set::stereo(), false, false },
    };
    for (const auto& c : cases)
    {
        juce::AudioProcessor::BusesLayout layout;
        if (c.hasInput)
            layout.inputBuses.add (c.in);
        layout.outputBuses.add (c.out);
        EXPECT_EQ (proc.checkBusesLayoutSupported (layout), c.accepted)
            << c.in.getDescription() << " -> " << c.out.getDescription();
    }
}

// One frame, plus five hops of look-ahead whenever the network may run.
TEST (Processor, LatencyTable)
{
    struct Case { int fftSize; int engine; bool model; int expected; };
    const Case cases[] = {
        { 4096, 1, false, 4096 }, { 4096, 0, true, 9216 }, { 4096, 2, true, 9216 }, { 4096, 1, true, 4096 },
        { 4096, 0, false, 4096 }, { 4096, 2, false, 4096 },
        { 1024, 2, true, 2304 }, { 1024, 0, true, 2304 }, { 1024, 1, true, 1024 }, { 1024, 0, false, 1024 },
        { 512, 1, false, 512 }, { 512, 0, true, 1152 }, { 512, 2, false, 512 },
    };
    for (const auto& c : cases)
        EXPECT_EQ (VarelleProcessor::latencyFor (c.fftSize, c.engine, c.model), c.expected)
            << "N " << c.fftSize << " engine " << c.engine << " model " << c.model;

    EXPECT_EQ (VarelleProcessor::fftOrderForLatencyMode (0), 12);
    EXPECT_EQ (VarelleProcessor::fftOrderForLatencyMode (1), 10);
    EXPECT_EQ (VarelleProcessor::fftOrderForLatencyMode (2), 9);
    EXPECT_EQ (VarelleProcessor::fftOrderForLatencyMode (7), 12);
    EXPECT_EQ (VarelleProcessor::fftOrderForLatencyMode (-1), 12);
}

// The embedded model runs at the STUDIO frame only: there "Auto" and "Neural (Guitar)" add five
// hops of look-ahead; in LIVE and MELODY mode every choice runs classically with one frame.
TEST (Processor, ReportedLatencyPerModeAndEngine)
{
    for (int engine : { 0, 1, 2 })
        for (int mode : { 0, 1, 2 })
        {
            VarelleProcessor proc;
            proc.setParameterPlain ("detection_engine", (float) engine);
            proc.latencyMode = mode;
            prepare (proc, 2, 512);
            ASSERT_TRUE (proc.isModelLoaded());
            const int n = 1 << VarelleProcessor::fftOrderForLatencyMode (mode);
            const bool neural = mode == 0 && engine != 1;
            const int expected = n + (neural ? 5 * n / 4 : 0);
            EXPECT_EQ (proc.getLatencySamples(), expected) << "engine " << engine << " mode " << mode;
            process (proc, noise (2048, 1), nullptr, { 512 });
            EXPECT_EQ (proc.getLatencySamples(), expected) << "engine " << engine << " mode " << mode;
            EXPECT_EQ (proc.getEffectiveEngine(), neural ? engine : 1);
            EXPECT_EQ (proc.isNeuralUsable(), mode == 0);
        }
}

// Switching the engine from "Classical" to "Auto" changes the latency at the next block and
// tells the host once, from the message thread.
TEST (Processor, EngineSwitchReportsTheNewLatency)
{
    VarelleProcessor proc;
    proc.setParameterPlain ("detection_engine", 1.0f);
    prepare (proc, 1, 512);
    process (proc, noise (2048, 1), nullptr, { 512 });
    ASSERT_EQ (proc.getLatencySamples(), 4096);

    struct Listener : juce::AudioProcessorListener
    {
        int onMessageThread = 0;
        void audioProcessorParameterChanged (juce::AudioProcessor*, int, float) override {}
        void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails& d) override
        {
            if (d.latencyChanged && juce::MessageManager::getInstance()->isThisTheMessageThread())
                ++onMessageThread;
        }
    } listener;
    juce::MessageManager::getInstance()->runDispatchLoopUntil (20);
    proc.addListener (&listener);

    proc.setParameterPlain ("detection_engine", 0.0f);
    EXPECT_EQ (proc.getLatencySamples(), 4096);   // not before the next block
    process (proc, noise (512, 2), nullptr, { 512 });
    EXPECT_EQ (proc.getLatencySamples(), 9216);
    juce::MessageManager::getInstance()->runDispatchLoopUntil (50);
    proc.removeListener (&listener);
    EXPECT_GE (listener.onMessageThread, 1);
    EXPECT_LE (listener.onMessageThread, 2);   // the framework's own notice may come as well
}

// Before separation exists a mono input comes out one frame later on both channels; in Dual
// form each side keeps its own signal, in M/S form the mid signal is analysed.
TEST (Processor, PassThroughInEveryRouting)
{
    for (int mode : { 0, 1, 2 })
    {
        const int n = 1 << VarelleProcessor::fftOrderForLatencyMode (mode);
        const auto left = noise (6 * 4096, 21);
        const auto right = noise (6 * 4096, 22);

        {
            VarelleProcessor proc;
            proc.latencyMode = mode;
            unpanned (proc);
            prepare (proc, 1, 256);
            const auto out = process (proc, left, nullptr, { 256 });
            const int latency = proc.getLatencySamples(), settled = latency + n - n / 4;
            EXPECT_LT (maxError (out.left, left, latency, settled), 1e-5) << "mono, mode " << mode;
            EXPECT_LT (maxError (out.right, left, latency, settled), 1e-5) << "mono, mode " << mode;
            EXPECT_EQ (peak (out.left, 0, (size_t) latency), 0.0);
        }
        {
            VarelleProcessor proc;
            proc.latencyMode = mode;
            unpanned (proc);
            prepare (proc, 2, 256);
            const auto out = process (proc, left, &right, { 256 });
            const int latency = proc.getLatencySamples(), settled = latency + n - n / 4;
            EXPECT_LT (maxError (out.left, left, latency, settled), 1e-5) << "dual, mode " << mode;
            EXPECT_LT (maxError (out.right, right, latency, settled), 1e-5) << "dual, mode " << mode;
        }
        {
            // M/S: the mid is analysed and separated, the side comes back delayed by the same
            // frame; at full width the two rebuild left and right.
            VarelleProcessor proc;
            proc.latencyMode = mode;
            unpanned (proc);
            proc.setParameterPlain ("stereo_mode", 0.0f);
            prepare (proc, 2, 256);
            const auto out = process (proc, left, &right, { 256 });
            const int latency = proc.getLatencySamples(), settled = latency + n - n / 4;
            EXPECT_LT (maxError (out.left, left, latency, settled), 1e-5) << "m/s, mode " << mode;
            EXPECT_LT (maxError (out.right, right, latency, settled), 1e-5) << "m/s, mode " << mode;
        }
    }
}

TEST (Processor, ZoneRoutingTable)
{
    const int low[] = { 40, 53, 60 }, high[] = { 52, 59, 84 };
    struct Case { int midi; int zone; };
    const Case cases[] = { { 21, -1 }, { 39, -1 }, { 40, 0 }, { 52, 0 }, { 53, 1 }, { 59, 1 }, { 60, 2 }, { 84, 2 }, { 85, -1 }, { 108, -1 } };
    for (const auto& c : cases)
        EXPECT_EQ (VarelleProcessor::zoneForChannel (c.midi - 21, low, high), c.zone) << "MIDI " << c.midi;

    EXPECT_EQ (VarelleProcessor::zoneForChannel (88, low, high), -1);

    // Overlapping ranges: the first zone in order 0, 1, 2 wins.
    const int low2[] = { 50, 45, 21 }, high2[] = { 60, 70, 108 };
    EXPECT_EQ (VarelleProcessor::zoneForChannel (55 - 21, low2, high2), 0);
    EXPECT_EQ (VarelleProcessor::zoneForChannel (47 - 21, low2, high2), 1);
    EXPECT_EQ (VarelleProcessor::zoneForChannel (30 - 21, low2, high2), 2);
}

// Key channels go through the zone buses and the zone mix law; solo and mute follow their
// rules. The key channels sum to the input, so routing every key one way reproduces it.
TEST (Processor, ZoneBusMixAndSolo)
{
    // The classical tracker: one frame of latency.
    const int n = 4096, settled = 2 * n;
    const auto in = noise (5 * n, 31);

    auto run = [&] (auto&& configure)
    {
        VarelleProcessor proc;
        proc.setParameterPlain ("pan_enabled", 0.0f);
        proc.setParameterPlain ("detection_engine", 1.0f);
        prepare (proc, 1, 512);
        configure (proc);
        return process (proc, in, nullptr, { 512 });
    };
    auto allKeysInZone1 = [] (VarelleProcessor& p)
    {
        setZoneFx (p, true);
        p.zones[0].lowNote = 200;
        p.zones[0].highNote = 201;
        p.zones[1].lowNote = 21;
        p.zones[1].highNote = 108;
    };

    // A mono zone signal at 0 dB comes back at unity on both sides.
    auto zoned = run (allKeysInZone1);
    EXPECT_LT (maxError (zoned.left, in, n, settled), 1e-4);
    EXPECT_LT (maxError (zoned.right, in, n, settled), 1e-4);

    // Zone volume is applied as a gain in dB.
    auto quieter = run ([&] (VarelleProcessor& p) { allKeysInZone1 (p); p.setParameterPlain ("zone_1_volume", -6.0f); });
    EXPECT_LT (maxError (quieter.left, in, n, settled, std::pow (10.0f, -6.0f / 20.0f)), 1e-4);

    // Soloing another zone silences this one; soloing it keeps it.
    auto otherSolo = run ([&] (VarelleProcessor& p) { allKeysInZone1 (p); p.zoneSoloed[2] = true; });
    EXPECT_EQ (peak (otherSolo.left), 0.0);
    auto ownSolo = run ([&] (VarelleProcessor& p) { allKeysInZone1 (p); p.zoneSoloed[1] = true; });
    EXPECT_LT (maxError (ownSolo.left, in, n, settled), 1e-4);

    // Keys outside every zone reach the output even while a zone is soloed.
    auto outside = run ([] (VarelleProcessor& p)
    {
        setZoneFx (p, true);
        for (auto& z : p.zones) { z.lowNote = 200; z.highNote = 201; }
        p.zoneSoloed[0] = true;
    });
    EXPECT_LT (maxError (outside.left, in, n, settled), 1e-4);

    // Mute silences a key; a solo overrides every mute; one soloed key leaves only itself.
    auto allMuted = run ([] (VarelleProcessor& p) { for (auto& m : p.noteMuted) m = true; });
    EXPECT_EQ (peak (allMuted.left), 0.0);
    auto soloOverridesMute = run ([] (VarelleProcessor& p)
    {
        for (auto& m : p.noteMuted) m = true;
        for (auto& s : p.noteSoloed) s = true;
    });
    EXPECT_LT (maxError (soloOverridesMute.left, in, n, settled), 1e-4);
    auto oneKey = run ([] (VarelleProcessor& p) { p.noteSoloed[40] = true; });
    EXPECT_GT (peak (oneKey.left, (size_t) settled), 0.0);
    EXPECT_GT (maxError (oneKey.left, in, n, settled), 0.05);
}

TEST (Processor, FlipSwapsStereoOutput)
{
    const int n = 4096;
    const auto left = noise (4 * n, 41), right = noise (4 * n, 42);
    VarelleProcessor proc;
    unpanned (proc);
    proc.setParameterPlain ("flip_lr", 1.0f);
    prepare (proc, 2, 512);
    const auto out = process (proc, left, &right, { 512 });
    const int latency = proc.getLatencySamples();
    EXPECT_LT (maxError (out.left, right, latency, latency + n), 1e-5);
    EXPECT_LT (maxError (out.right, left, latency, latency + n), 1e-5);
}

// Bypass delays the input by exactly the reported latency, and moving between processing and
// bypass continues the stream without a gap.
TEST (Processor, BypassStaysAligned)
{
    for (int mode : { 0, 1, 2 })
    {
        VarelleProcessor proc;
        proc.latencyMode = mode;
        prepare (proc, 2, 480);
        const int latency = proc.getLatencySamples();
        const auto left = noise (30000, 51), right = noise (30000, 52);

        const auto out = process (proc, left, &right, { 480, 17, 333 }, true);
        EXPECT_LT (maxError (out.left, left, latency, 0), 1e-7) << "mode " << mode;
        EXPECT_LT (maxError (out.right, right, latency, 0), 1e-7) << "mode " << mode;
    }

    // Processing, then bypass from the middle of the stream: the bypassed part is the input
    // delayed by the latency, as the processed part was.
    VarelleProcessor proc;
    unpanned (proc);
    prepare (proc, 1, 512);
    const int latency = proc.getLatencySamples();
    const auto in = noise (40 * 512, 53);
    juce::MidiBuffer midi;
    juce::AudioBuffer<float> block (2, 512);
    std::vector<float> out;
    for (int b = 0; b < 40; ++b)
    {
        block.clear();
        block.copyFrom (0, 0, in.data() + b * 512, 512);
        if (b < 20)
            proc.processBlock (block, midi);
        else
            proc.processBlockBypassed (block, midi);
        out.insert (out.end(), block.getReadPointer (0), block.getReadPointer (0) + 512);
        EXPECT_EQ (std::vector<float> (block.getReadPointer (0), block.getReadPointer (0) + 512),
                   std::vector<float> (block.getReadPointer (1), block.getReadPointer (1) + 512))
            << "mono input must reach both sides, block " << b;
    }
    EXPECT_LT (maxError (out, in, latency, 2 * latency), 1e-5);
}

// The latency mode changes only at the next block, on the audio thread, from silence.
TEST (Processor, DeferredRePreparationAfterLatencyModeChange)
{
    VarelleProcessor proc;
    unpanned (proc);
    proc.setParameterPlain ("detection_engine", 1.0f);
    prepare (proc, 1, 256);
    ASSERT_EQ (proc.getLatencySamples(), 4096);

    struct Listener : juce::AudioProcessorListener
    {
        int latencyNotifications = 0;
        void audioProcessorParameterChanged (juce::AudioProcessor*, int, float) override {}
        void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails& d) override
        {
            if (d.latencyChanged && juce::MessageManager::getInstance()->isThisTheMessageThread())
                ++latencyNotifications;
        }
    } listener;
    proc.addListener (&listener);

    const auto in = noise (20000, 61);
    process (proc, in, nullptr, { 256 });

    proc.latencyMode = 1;
    proc.latencyChangePending = true;
    EXPECT_EQ (proc.getLatencySamples(), 4096); // nothing happens on this thread

    const auto after = process (proc, in, nullptr, { 256 });
    EXPECT_EQ (proc.getLatencySamples(), 1024);
    EXPECT_FALSE (proc.latencyChangePending.load());
    EXPECT_EQ (peak (after.left, 0, 1024), 0.0);
    EXPECT_LT (maxError (after.left, in, 1024, 2 * 1024), 1e-5);

    juce::MessageManager::getInstance()->runDispatchLoopUntil (50);
    proc.removeListener (&listener);
    EXPECT_GE (listener.latencyNotifications, 1);
}

// A host start or a jump clears the analysis history; continuous playback and a stopped
// transport do not.
TEST (Processor, TransportStartsAndJumpsResetTheAnalysis)
{
    const auto in = noise (40 * 512, 71);
    int latency = 0;

    auto run = [&] (auto&& positionForBlock)
    {
        VarelleProcessor proc;
        FakePlayHead head;
        proc.setPlayHead (&head);
        prepare (proc, 1, 512);
        latency = proc.getLatencySamples();
        return process (proc, in, nullptr, { 512 }, [&] (int index, int pos) { positionForBlock (head, index, pos); });
    };

    const auto reference = run ([] (FakePlayHead& h, int, int) { h.hasPosition = false; });

    // Playing from the first block on, advancing continuously: no reset after the start.
    const auto continuous = run ([] (FakePlayHead& h, int, int pos) { h.playing = true; h.timeInSamples = (juce::int64) pos; });
    EXPECT_EQ (continuous.left, reference.left);

    // A stopped transport never resets, whatever its position does.
    const auto stopped = run ([] (FakePlayHead& h, int index, int) { h.playing = false; h.timeInSamples = (juce::int64) (index * 99999); });
    EXPECT_EQ (stopped.left, reference.left);

    // A jump of more than two blocks at block 12 restarts the analysis from silence.
    const auto jumped = run ([] (FakePlayHead& h, int index, int pos)
    {
        h.playing = true;
        h.timeInSamples = (juce::int64) (index < 12 ? pos : pos + 100000);
    });
    EXPECT_EQ (std::vector<float> (jumped.left.begin(), jumped.left.begin() + 12 * 512),
               std::vector<float> (reference.left.begin(), reference.left.begin() + 12 * 512));
    EXPECT_EQ (peak (jumped.left, 12 * 512, (size_t) (12 * 512 + latency)), 0.0);
    EXPECT_GT (peak (jumped.left, (size_t) (12 * 512 + latency)), 0.1);

    // A jump within two blocks is continuous playback.
    const auto nudged = run ([] (FakePlayHead& h, int index, int pos)
    {
        h.playing = true;
        h.timeInSamples = (juce::int64) (index < 12 ? pos : pos + 500); // 1012 <= 2 x 512
    });
    EXPECT_EQ (nudged.left, reference.left);
}

TEST (Processor, TempoFollowsTheHost)
{
    VarelleProcessor proc;
    FakePlayHead head;
    proc.setPlayHead (&head);
    prepare (proc, 1, 256);
    EXPECT_EQ (proc.hostBpm.load(), 120.0f);
    head.bpm = 97.5;
    process (proc, noise (256, 1), nullptr, { 256 });
    EXPECT_EQ (proc.hostBpm.load(), 97.5f);
    head.bpm = std::numeric_limits<double>::quiet_NaN();
    process (proc, noise (256, 1), nullptr, { 256 });
    EXPECT_EQ (proc.hostBpm.load(), 97.5f);
}

// Blocks longer than prepared are processed in prepared-size pieces with the same result.
TEST (Processor, OversizedBlocksMatchPreparedBlocks)
{
    const auto left = noise (40000, 81), right = noise (40000, 82);
    VarelleProcessor a, b;
    unpanned (a);
    unpanned (b);
    prepare (a, 2, 256);
    prepare (b, 2, 256);
    const auto expected = process (a, left, &right, { 256 });
    const auto got = process (b, left, &right, { 4000, 256, 1, 1023 });
    EXPECT_EQ (got.left, expected.left);
    EXPECT_EQ (got.right, expected.right);
}

// NaN or infinite input samples do not poison the analysis: the output stays finite and the
// signal comes back once the input is clean again.
TEST (Processor, NonFiniteInputIsTreatedAsSilence)
{
    for (int channels : { 1, 2 })
        for (int stereoMode : { 0, 1 })
        {
            auto in = noise (16 * 4096, 91);
            for (int i = 5000; i < 5100; ++i)
                in[(size_t) i] = (i % 2) ? std::numeric_limits<float>::quiet_NaN() : std::numeric_limits<float>::infinity();

            VarelleProcessor proc;
            unpanned (proc);
            proc.setParameterPlain ("stereo_mode", (float) stereoMode);
            prepare (proc, channels, 512);
            const auto out = process (proc, in, channels == 2 ? &in : nullptr, { 512 });
            for (size_t i = 0; i < out.left.size(); ++i)
                ASSERT_TRUE (std::isfinite (out.left[i]) && std::isfinite (out.right[i])) << "sample " << i;
            const int latency = proc.getLatencySamples();
            EXPECT_LT (maxError (out.left, in, latency, 5100 + 2 * 4096 + latency), 1e-5);
        }
}

TEST (Processor, ZeroLengthAndUnpreparedBlocksAreHarmless)
{
    VarelleProcessor unprepared;
    juce::AudioBuffer<float> buffer (2, 64);
    buffer.clear();
    juce::MidiBuffer midi;
    unprepared.processBlock (buffer, midi);
    unprepared.processBlockBypassed (buffer, midi);

    VarelleProcessor proc;
    prepare (proc, 2, 64);
    juce::AudioBuffer<float> empty (2, 0);
    proc.processBlock (empty, midi);
    proc.processBlockBypassed (empty, midi);

    // The empty block did not advance anything: the output is the same as without it.
    VarelleProcessor fresh;
    prepare (fresh, 2, 64);
    const auto in = noise (20000, 3);
    EXPECT_EQ (process (proc, in, &in, { 64 }).left, process (fresh, in, &in, { 64 }).left);
}

TEST (Processor, ReleaseResourcesClearsTheHistory)
{
    VarelleProcessor proc;
    prepare (proc, 1, 512);
    process (proc, noise (10000, 4), nullptr, { 512 });
    proc.releaseResources();
    const auto out = process (proc, noise (4096, 5), nullptr, { 512 });
    EXPECT_EQ (peak (out.left), 0.0);
}
