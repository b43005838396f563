#include "VarelleProcessor.h"

#include <gtest/gtest.h>

namespace
{
enum class Kind { real, integer, toggle, list };

struct Row
{
    const char* id;
    const char* name;
    Kind kind;
    float min, max, step, def;
};

// The host-visible parameter set in layout order, as users and saved projects know it.
const Row expectedRows[] = {
    { "pan_enabled", "Pan Enabled", Kind::toggle, 0, 1, 1, 1 },
    { "pan_mode", "Pan Mode", Kind::list, 0, 1, 1, 1 },
    { "pan_hardness", "Pan Hardness", Kind::real, 0, 1, 0.01f, 0 },
    { "pan_glide", "Pan Glide", Kind::real, 0, 1, 0.01f, 0.7f },
    { "pan_spread", "Pan Spread", Kind::real, 0, 1, 0.01f, 1 },
    { "pan_low_note", "Zone Low", Kind::integer, 16, 108, 1, 52 },
    { "pan_center_note", "Zone Split", Kind::integer, 16, 108, 1, 62 },
    { "pan_high_note", "Zone High", Kind::integer, 16, 108, 1, 76 },
    { "stereo_mode", "Stereo Mode", Kind::list, 0, 1, 1, 1 },
    { "stereo_width", "Stereo Width", Kind::real, 0, 1, 0.01f, 1 },
    { "output_width", "Output Width", Kind::real, 0, 1, 0.01f, 0 },
    { "master_pan", "Master Pan", Kind::real, 0, 1, 0.01f, 0.5f },
    { "flip_lr", "Flip L/R", Kind::toggle, 0, 1, 1, 0 },
    { "output_gain_db", "Output Gain", Kind::real, -12, 12, 0.1f, 0 },
    { "wet_dry_mix", "Wet/Dry Mix", Kind::real, 0, 1, 0.01f, 1 },
    { "reverb_mix", "Reverb Mix", Kind::real, 0, 1, 0.01f, 0.3f },
    { "reverb_size", "Reverb Size", Kind::real, 0, 1, 0.01f, 0.5f },
    { "zone_fx_enabled", "Zone FX Enabled", Kind::toggle, 0, 1, 1, 0 },
    { "zone_0_eq_low", "Low EQ Low", Kind::real, -12, 12, 0.01f, 0 },
    { "zone_0_eq_mid", "Low EQ Mid", Kind::real, -12, 12, 0.01f, 0 },
    { "zone_0_eq_high", "Low EQ High", Kind::real, -12, 12, 0.01f, 0 },
    { "zone_0_volume", "Low Volume", Kind::real, -24, 12, 0.01f, 0 },
    { "zone_0_reverb_send", "Low Reverb Send", Kind::real, 0, 1, 0.01f, 0 },
    { "zone_0_delay_time", "Low Delay Time", Kind::real, 20, 500, 1, 250 },
    { "zone_0_delay_feedback", "Low Delay Feedback", Kind::real, 0, 0.9f, 0.01f, 0.3f },
    { "zone_0_delay_mix", "Low Delay Mix", Kind::real, 0, 1, 0.01f, 0 },
    { "zone_1_eq_low", "Mid EQ Low", Kind::real, -12, 12, 0.01f, 0 },
    { "zone_1_eq_mid", "Mid EQ Mid", Kind::real, -12, 12, 0.01f, 0 },
    { "zone_1_eq_high", "Mid EQ High", Kind::real, -12, 12, 0.01f, 0 },
    { "zone_1_volume", "Mid Volume", Kind::real, -24, 12, 0.01f, 0 },
    { "zone_1_reverb_send", "Mid Reverb Send", Kind::real, 0, 1, 0.01f, 0 },
    { "zone_1_delay_time", "Mid Delay Time", Kind::real, 20, 500, 1, 250 },
    { "zone_1_delay_feedback", "Mid Delay Feedback", Kind::real, 0, 0.9f, 0.01f, 0.3f },
    { "zone_1_delay_mix", "Mid Delay Mix", Kind::real, 0, 1, 0.01f, 0 },
    { "zone_2_eq_low", "High EQ Low", Kind::real, -12, 12, 0.01f, 0 },
    { "zone_2_eq_mid", "High EQ Mid", Kind::real, -12, 12, 0.01f, 0 },
    { "zone_2_eq_high", "High EQ High", Kind::real, -12, 12, 0.01f, 0 },
    { "zone_2_volume", "High Volume", Kind::real, -24, 12, 0.01f, 0 },
    { "zone_2_reverb_send", "High Reverb Send", Kind::real, 0, 1, 0.01f, 0 },
    { "zone_2_delay_time", "High Delay Time", Kind::real, 20, 500, 1, 250 },
    { "zone_2_delay_feedback", "High Delay Feedback", Kind::real, 0, 0.9f, 0.01f, 0.3f },
    { "zone_2_delay_mix", "High Delay Mix", Kind::real, 0, 1, 0.01f, 0 },
    { "midi_offset", "Octave Offset", Kind::integer, -24, 24, 1, 0 },
    { "auto_key", "Auto Key", Kind::toggle, 0, 1, 1, 1 },
    { "detection_engine", "Detection Engine", Kind::list, 0, 2, 1, 0 },
    { "detection_preset", "Detection Preset", Kind::list, 0, 3, 1, 0 },
};

float plainValue (juce::RangedAudioParameter& p) { return p.convertFrom0to1 (p.getValue()); }
} // namespace

TEST (Parameters, TableInLayoutOrder)
{
    VarelleProcessor proc;
    const auto& params = proc.getParameters();
    ASSERT_EQ (params.size(), 46);

    for (int i = 0; i < params.size(); ++i)
    {
        const Row& row = expectedRows[i];
        auto* p = dynamic_cast<juce::RangedAudioParameter*> (params[i]);
        ASSERT_NE (p, nullptr);
        SCOPED_TRACE (row.id);

        EXPECT_EQ (p->getParameterID(), row.id);
        EXPECT_EQ (p->getName (100), row.name);
        EXPECT_EQ (p->getVersionHint(), 1);
        EXPECT_TRUE (p->isAutomatable());
        EXPECT_FALSE (p->isMetaParameter());
        EXPECT_TRUE (p->getLabel().isEmpty());

        const auto& range = p->getNormalisableRange();
        EXPECT_FLOAT_EQ (range.start, row.min);
        EXPECT_FLOAT_EQ (range.end, row.max);
        EXPECT_FLOAT_EQ (range.skew, 1.0f);
        EXPECT_NEAR (plainValue (*p), row.def, 1e-6);

        switch (row.kind)
        {
            case Kind::real:
                ASSERT_NE (dynamic_cast<juce::AudioParameterFloat*> (p), nullptr);
                EXPECT_FLOAT_EQ (range.interval, row.step);
                break;
            case Kind::integer: EXPECT_NE (dynamic_cast<juce::AudioParameterInt*> (p), nullptr); break;
            case Kind::toggle: EXPECT_NE (dynamic_cast<juce::AudioParameterBool*> (p), nullptr); break;
            case Kind::list: EXPECT_NE (dynamic_cast<juce::AudioParameterChoice*> (p), nullptr); break;
        }
    }

    auto* engine = dynamic_cast<juce::AudioParameterChoice*> (proc.valueTreeState.getParameter ("detection_engine"));
    EXPECT_EQ (engine->choices, juce::StringArray ({ "Auto", "Classical", "Neural (Guitar)" }));
    auto* preset = dynamic_cast<juce::AudioParameterChoice*> (proc.valueTreeState.getParameter ("detection_preset"));
    EXPECT_EQ (preset->choices, juce::StringArray ({ "Guitar", "Piano", "Percussive", "Bass" }));
    EXPECT_EQ (dynamic_cast<juce::AudioParameterChoice*> (proc.valueTreeState.getParameter ("pan_mode"))->choices,
               juce::StringArray ({ "Dynamic", "Static" }));
    EXPECT_EQ (dynamic_cast<juce::AudioParameterChoice*> (proc.valueTreeState.getParameter ("stereo_mode"))->choices,
               juce::StringArray ({ "M/S", "Dual" }));
}

TEST (Parameters, GroupsNestZonesUnderZoneFX)
{
    VarelleProcessor proc;
    const auto& tree = proc.getParameterTree();

    juce::StringArray groupIDs;
    for (auto* g : tree.getSubgroups (false))
        groupIDs.add (g->getID());
    EXPECT_EQ (groupIDs, juce::StringArray ({ "pan", "stereo", "reverb", "zone_fx", "mode" }));

    const juce::StringArray names { "Pan", "Stereo & Output", "Reverb", "Zone FX", "Mode" };
    for (int i = 0; i < groupIDs.size(); ++i)
        EXPECT_EQ (tree.getSubgroups (false)[i]->getName(), names[i]);

    const auto* zoneFx = tree.getSubgroups (false)[3];
    const auto zoneGroups = zoneFx->getSubgroups (false);
    ASSERT_EQ (zoneGroups.size(), 3);
    EXPECT_EQ (zoneGroups[1]->getID(), "zone_1_");
    EXPECT_EQ (zoneGroups[1]->getName(), "Mid Zone");
    EXPECT_EQ (zoneGroups[1]->getSeparator(), "|");

    auto* delay = proc.valueTreeState.getParameter ("zone_1_delay_time");
    const auto* group = tree.getGroupsForParameter (delay).getLast();
    EXPECT_EQ (group->getName(), "Mid Zone");
    EXPECT_EQ (tree.getGroupsForParameter (delay).getFirst()->getName(), "Zone FX");
}

// Code writes parameters through one path that limits values to each parameter's range.
TEST (Parameters, WritePathLimitsAndIgnoresBadInput)
{
    VarelleProcessor proc;
    auto value = [&] (const char* id) { return plainValue (*proc.valueTreeState.getParameter (id)); };

    struct Case { const char* id; float written; float expected; };
    const Case cases[] = {
        { "pan_mode", 1.0f, 1.0f },
        { "pan_mode", 0.0f, 0.0f },
        { "zone_1_delay_time", 600.0f, 500.0f },
        { "zone_2_delay_feedback", 1.0f, 0.9f },
        { "zone_0_volume", -40.0f, -24.0f },
        { "pan_low_note", 47.6f, 48.0f },
        { "output_gain_db", 3.04f, 3.0f },
        { "detection_engine", 2.0f, 2.0f },
        { "flip_lr", 1.0f, 1.0f },
    };
    for (const auto& c : cases)
    {
        proc.setParameterPlain (c.id, c.written);
        EXPECT_NEAR (value (c.id), c.expected, 1e-5) << c.id << " <- " << c.written;
    }

    proc.setParameterPlain ("pan_hardness", 0.25f);
    proc.setParameterPlain ("pan_hardness", std::numeric_limits<float>::quiet_NaN());
    EXPECT_NEAR (value ("pan_hardness"), 0.25f, 1e-6);
    proc.setParameterPlain ("no_such_parameter", 1.0f); // ignored, no crash
}

TEST (Parameters, WritesNotifyListeners)
{
    VarelleProcessor proc;
    struct Counter : juce::AudioProcessorParameter::Listener
    {
        int changes = 0;
        void parameterValueChanged (int, float) override { ++changes; }
        void parameterGestureChanged (int, bool) override {}
    } counter;

    auto* p = proc.valueTreeState.getParameter ("master_pan");
    p->addListener (&counter);
    proc.setParameterPlain ("master_pan", 0.2f);
    p->removeListener (&counter);
    EXPECT_EQ (counter.changes, 1);
}
