#include "HarmonyEngine.h"
#include "MidiNoteOutput.h"
#include "ProcessorHarness.h"

#include <gtest/gtest.h>

using namespace orvex::test;
using varelle::HarmonyEngine;
using varelle::MidiNoteOutput;

TEST (HarmonyEngine, ScaleDegrees)
{
    struct Case { int pitchClass; int degree; };
    // Major scale over C: C# lies one semitone from C and from D, the lower degree wins.
    // B flat lies one semitone from A and from B: degree 5.
    const Case cases[] = { { 1, 0 }, { 6, 3 }, { 11, 6 }, { 0, 0 }, { 4, 2 }, { 10, 5 } };
    for (const auto& c : cases)
        EXPECT_EQ (HarmonyEngine::findScaleDegree (c.pitchClass, 0, HarmonyEngine::s_majorScale), c.degree) << c.pitchClass;
}

TEST (HarmonyEngine, DiatonicIntervals)
{
    struct Case { const char* what; int pc, root; const int* scale; int code; int semitones; };
    const Case cases[] = {
        { "C major, E, two steps up: G", 4, 0, HarmonyEngine::s_majorScale, 2, 3 },
        { "C major, E, two steps down: C", 4, 0, HarmonyEngine::s_majorScale, 7, -4 },
        { "C major, B, five steps up with an octave carry", 11, 0, HarmonyEngine::s_majorScale, 5, 8 },
        { "A minor, C, two steps up: E", 0, 9, HarmonyEngine::s_minorScale, 2, 4 },
        { "C mixolydian, E, two steps up: G", 4, 0, HarmonyEngine::s_mixolydianScale, 2, 3 },
        { "C mixolydian, G, two steps up: B flat", 7, 0, HarmonyEngine::s_mixolydianScale, 2, 3 },
        { "C major, G, a fifth down", 7, 0, HarmonyEngine::s_majorScale, 8, -7 },
    };
    for (const auto& c : cases)
        EXPECT_EQ (HarmonyEngine::diatonicInterval (c.pc, c.root, c.scale, HarmonyEngine::stepsForCode (c.code)), c.semitones) << c.what;

    // Without key or chord: up codes an octave up, down codes an octave down, 0 and 9+ nothing.
    EXPECT_EQ (HarmonyEngine::fallbackSemitones (3), 12);
    EXPECT_EQ (HarmonyEngine::fallbackSemitones (8), -12);
    EXPECT_EQ (HarmonyEngine::fallbackSemitones (0), 0);
    EXPECT_EQ (HarmonyEngine::fallbackSemitones (9), 0);
    EXPECT_EQ (HarmonyEngine::stepsForCode (12), 0);

    EXPECT_EQ (HarmonyEngine::scaleForChordType (3), HarmonyEngine::s_mixolydianScale);
    EXPECT_EQ (HarmonyEngine::scaleForChordType (14), HarmonyEngine::s_minorScale);
    EXPECT_EQ (HarmonyEngine::scaleForChordType (12), HarmonyEngine::s_majorScale);
    EXPECT_EQ (HarmonyEngine::scaleForChordType (99), HarmonyEngine::s_majorScale);
}

namespace
{
/** Frequency of the strongest spectral line of x between lo and hi Hz (0.25 Hz steps). */
double measuredFrequency (const std::vector<float>& x, size_t from, double rate, double lo = 50.0, double hi = 2000.0)
{
    double best = 0.0, bestPower = -1.0;
    for (double f = lo; f <= hi; f += 0.25)
    {
        // Goertzel over the Hann-windowed tail of the signal.
        const double w = 2.0 * M_PI * f / rate, coeff = 2.0 * std::cos (w);
        double s1 = 0.0, s2 = 0.0;
        const size_t n = x.size() - from;
        for (size_t i = 0; i < n; ++i)
        {
            const double win = 0.5 - 0.5 * std::cos (2.0 * M_PI * (double) i / (double) n);
            const double s0 = win * x[from + i] + coeff * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
        if (power > bestPower)
        {
            bestPower = power;
            best = f;
        }
    }
    return best;
}
} // namespace

TEST (HarmonyEngine, PitchShifterShifts)
{
    const double rate = 44100.0;

    // Ratio 2: an octave up, within 1 % for C4 and C5. The read taps restart every 4096
    // samples and each restart steps the phase by the fractional number of periods the
    // buffer holds, so depending on the input frequency the result lies between about 1.2 %
    // flat and 0.8 % sharp (for example 1.06 % flat at 220 Hz).
    for (double f : { 261.63, 523.25 })
    {
        const auto tone = sine (44100, f, rate, 0.5f);
        HarmonyEngine::PitchShifter up;
        std::vector<float> out (tone.size());
        for (size_t i = 0; i < tone.size(); ++i)
            out[i] = up.process (tone[i], 2.0f);
        EXPECT_NEAR (measuredFrequency (out, 8192, rate, 1.5 * f, 2.5 * f), 2.0 * f, 0.01 * 2.0 * f) << f;
    }

    // Ratio 1: a delayed copy of the input at the same pitch and level.
    const auto tone = sine (44100, 220.0, rate, 0.5f);
    std::vector<float> out (tone.size());
    HarmonyEngine::PitchShifter same;
    for (size_t i = 0; i < tone.size(); ++i)
        out[i] = same.process (tone[i], 1.0f);
    EXPECT_NEAR (measuredFrequency (out, 8192, rate, 150.0, 300.0), 220.0, 1.0);
    EXPECT_NEAR (peak (out, 8192), 0.5, 0.05);
}

namespace
{
varelle::SeparationFrame frameWith (int midi)
{
    varelle::SeparationFrame f;
    f.activate (midi - 21, 440.0f * std::pow (2.0f, (midi - 69) / 12.0f), 1.0f);
    return f;
}
} // namespace

TEST (HarmonyEngine, VoicesFollowTheTrackedNote)
{
    HarmonyEngine engine;
    engine.prepare (44100.0);
    engine.harmonyEnabled = true;
    engine.spectralHarmony = false;
    engine.keyRoot = 0;   // C major
    engine.harmonyVoices[0].enabled = true;   // code 2: a third above in the key
    engine.harmonyVoices[0].level = 1.0f;
    engine.harmonyLevel = 1.0f;

    const int n = 512;
    const auto e4 = sine (n * 200, 329.63, 44100.0, 0.5f);
    std::vector<float> l (n), r (n), outL;
    std::vector<const float*> spectral (12, e4.data());
    varelle::ChordResult noChord;

    // The note becomes the tracked one on its third block.
    for (int b = 0; b < 3; ++b)
    {
        EXPECT_EQ (engine.getTrackedNote(), -1) << b;
        engine.render (e4.data() + b * n, spectral.data(), n, frameWith (64), noChord, l.data(), r.data());
    }
    EXPECT_EQ (engine.getTrackedNote(), 64);

    for (int b = 3; b < 200; ++b)
    {
        engine.render (e4.data() + b * n, spectral.data(), n, frameWith (64), noChord, l.data(), r.data());
        outL.insert (outL.end(), l.begin(), l.end());
    }
    // E up two steps in C major is G: three semitones.
    EXPECT_NEAR (measuredFrequency (outL, 20000, 44100.0, 300.0, 500.0), 329.63 * std::pow (2.0, 3.0 / 12.0), 4.0);

    // A silent block keeps the tracked note.
    engine.render (e4.data(), spectral.data(), n, varelle::SeparationFrame {}, noChord, l.data(), r.data());
    EXPECT_EQ (engine.getTrackedNote(), 64);
}

TEST (HarmonyEngine, SilentCases)
{
    HarmonyEngine engine;
    engine.prepare (44100.0);
    engine.harmonyEnabled = true;
    engine.harmonyVoices[0].enabled = true;
    const int n = 256;
    const auto x = noise (n, 1);
    std::vector<float> l (n, 1.0f), r (n, 1.0f);
    std::vector<float> silence (n, 0.0f);
    std::vector<const float*> spectral (12, silence.data());
    varelle::ChordResult noChord;

    // The spectral variant (the default) carries channels 89 .. 100, which nothing fills.
    for (int b = 0; b < 5; ++b)
        engine.render (x.data(), spectral.data(), n, frameWith (60), noChord, l.data(), r.data());
    EXPECT_EQ (peak (l), 0.0);

    // Time-domain variant: a voice with code 0 and no octave adds nothing.
    engine.spectralHarmony = false;
    engine.harmonyVoices[0].intervalCode = 0;
    engine.harmonyVoices[0].octaveShift = 0;
    for (int b = 0; b < 5; ++b)
        engine.render (x.data(), spectral.data(), n, frameWith (60), noChord, l.data(), r.data());
    EXPECT_EQ (peak (l), 0.0);

    // No note detected yet: silence.
    HarmonyEngine fresh;
    fresh.prepare (44100.0);
    fresh.harmonyEnabled = true;
    fresh.spectralHarmony = false;
    fresh.harmonyVoices[1].enabled = true;
    fresh.render (x.data(), spectral.data(), n, varelle::SeparationFrame {}, noChord, l.data(), r.data());
    EXPECT_EQ (peak (l), 0.0);

    // Preparation sets the default intervals 2, 4, 0 (+1 octave), 7.
    EXPECT_EQ (fresh.harmonyVoices[0].intervalCode.load(), 2);
    EXPECT_EQ (fresh.harmonyVoices[1].intervalCode.load(), 4);
    EXPECT_EQ (fresh.harmonyVoices[2].intervalCode.load(), 0);
    EXPECT_EQ (fresh.harmonyVoices[2].octaveShift.load(), 1);
    EXPECT_EQ (fresh.harmonyVoices[3].intervalCode.load(), 7);
}

//==============================================================================
namespace
{
struct MidiRun
{
    std::vector<juce::MidiMessage> messages;
    std::vector<int> blocks;
};

/** Blocks of a sine of the given RMS on one key channel, silent elsewhere. */
MidiRun runMidi (MidiNoteOutput& out, int key, float rms, int blocks, const varelle::ChordResult& chord = {},
                 int keyRoot = -1, int keyQuality = 0)
{
    const int n = 512;
    // Exactly five periods per block, so every block's RMS is the given one.
    const auto tone = sine (n, 44100.0 * 5 / n, 44100.0, rms * std::sqrt (2.0f));
    std::vector<float> silence (n, 0.0f);
    std::vector<const float*> channels (88, silence.data());
    channels[(size_t) key] = tone.data();

    MidiRun run;
    for (int b = 0; b < blocks; ++b)
    {
        juce::MidiBuffer midi;
        out.process (channels.data(), n, chord, keyRoot, keyQuality, midi, 0);
        for (const auto meta : midi)
        {
            EXPECT_EQ (meta.samplePosition, 0);
            run.messages.push_back (meta.getMessage());
            run.blocks.push_back (b + 1);
        }
    }
    return run;
}
} // namespace

TEST (MidiNoteOutput, NoteOnAtTheTenthBlockWithItsVelocity)
{
    MidiNoteOutput out;
    out.midiOutputEnabled = true;
    const auto run = runMidi (out, 60 - 21, 0.1f, 20);
    ASSERT_EQ (run.messages.size(), 1u);
    EXPECT_EQ (run.blocks[0], 10);
    EXPECT_TRUE (run.messages[0].isNoteOn());
    EXPECT_EQ (run.messages[0].getNoteNumber(), 60);
    EXPECT_EQ (run.messages[0].getVelocity(), 120);
    EXPECT_EQ (run.messages[0].getChannel(), 1);

    // The note-off comes only once the level falls to 0.02 or below.
    const auto quiet = runMidi (out, 60 - 21, 0.0f, 200);
    ASSERT_EQ (quiet.messages.size(), 1u);
    EXPECT_TRUE (quiet.messages[0].isNoteOff());
    // Level 0.0961 after the note-on stretch, falling by 0.985 per block: at or below 0.02
    // from the 104th silent block on.
    EXPECT_EQ (quiet.blocks[0], 104);
}

TEST (MidiNoteOutput, QuietKeysNeverSound)
{
    MidiNoteOutput out;
    out.midiOutputEnabled = true;
    EXPECT_TRUE (runMidi (out, 40, 0.07f, 300).messages.empty());
}

TEST (MidiNoteOutput, ChordOrKeyDecidesWhichPitchClassesSound)
{
    varelle::ChordResult cMajor;
    cMajor.root = 0;
    cMajor.type = 1;
    cMajor.score = 0.95f;
    cMajor.chordPitchClasses = (1 << 0) | (1 << 4) | (1 << 7);

    // C major key, no chord: a C# never sounds, a D does.
    for (auto [midi, sounds] : { std::pair { 61, false }, std::pair { 62, true } })
    {
        MidiNoteOutput out;
        out.midiOutputEnabled = true;
        EXPECT_EQ (! runMidi (out, midi - 21, 0.2f, 30, {}, 0, 0).messages.empty(), sounds) << midi;
    }

    // A confident chord allows only its tones, whatever the key.
    for (auto [midi, sounds] : { std::pair { 62, false }, std::pair { 64, true } })
    {
        MidiNoteOutput out;
        out.midiOutputEnabled = true;
        EXPECT_EQ (! runMidi (out, midi - 21, 0.2f, 30, cMajor, 0, 0).messages.empty(), sounds) << midi;
    }

    // Below score 0.3 the key decides.
    auto weak = cMajor;
    weak.score = 0.29f;
    MidiNoteOutput out;
    out.midiOutputEnabled = true;
    EXPECT_FALSE (runMidi (out, 62 - 21, 0.2f, 30, weak, 0, 0).messages.empty());

    // Channel numbers are limited to 1 .. 16.
    MidiNoteOutput high;
    high.midiOutputEnabled = true;
    high.midiChannel = 40;
    EXPECT_EQ (runMidi (high, 64 - 21, 0.2f, 30).messages.at (0).getChannel(), 16);

    // Switched off: levels and flags cleared, no note-offs sent.
    high.midiOutputEnabled = false;
    EXPECT_TRUE (runMidi (high, 64 - 21, 0.2f, 3).messages.empty());
    EXPECT_FALSE (high.midiNoteOn[64 - 21]);
    EXPECT_EQ (high.noteLevels[64 - 21], 0.0f);
}

//==============================================================================
// Through the processor: notes of a played line come out as MIDI notes, and the harmony voices
// join the output.
TEST (HarmonyMidi, ProcessorEmitsNotesAndHarmony)
{
    VarelleProcessor proc;
    proc.setParameterPlain ("detection_engine", 1.0f);
    proc.midiOutput.midiOutputEnabled = true;
    prepare (proc, 1, 512);
    EXPECT_TRUE (proc.producesMidi());

    const auto tone = sine (44100 * 2, 261.63, 44100.0, 0.4f);
    juce::MidiBuffer midi;
    juce::AudioBuffer<float> block (2, 512);
    std::vector<int> notesOn;
    for (int pos = 0; pos + 512 <= (int) tone.size(); pos += 512)
    {
        block.clear();
        block.copyFrom (0, 0, tone.data() + pos, 512);
        proc.processBlock (block, midi);
        for (const auto meta : midi)
            if (meta.getMessage().isNoteOn())
                notesOn.push_back (meta.getMessage().getNoteNumber());
    }
    ASSERT_FALSE (notesOn.empty());
    EXPECT_EQ (notesOn.front(), 60);   // C4

    // Harmony on, solo: the output is the voices alone (an octave above C4 here).
    VarelleProcessor withHarmony;
    withHarmony.setParameterPlain ("detection_engine", 1.0f);
    withHarmony.setParameterPlain ("pan_enabled", 0.0f);
    prepare (withHarmony, 1, 512);
    withHarmony.harmony.harmonyEnabled = true;
    withHarmony.harmony.harmonySolo = true;
    withHarmony.harmony.spectralHarmony = false;
    withHarmony.harmony.harmonyVoices[2].enabled = true;   // code 0, one octave up
    withHarmony.harmony.harmonyVoices[2].level = 1.0f;
    withHarmony.harmony.harmonyLevel = 1.0f;
    const auto out = process (withHarmony, tone, nullptr, { 512 });
    EXPECT_NEAR (measuredFrequency (out.left, 44100, 44100.0, 400.0, 700.0), 523.26, 5.23);
}
