#include "VarelleProcessor.h"

#include <gtest/gtest.h>

#include <random>

namespace
{
juce::MemoryBlock stateOf (VarelleProcessor& proc)
{
    juce::MemoryBlock block;
    proc.getStateInformation (block);
    return block;
}

juce::MemoryBlock wrap (const juce::String& xmlText)
{
    // The framework's XML-in-binary form: magic, length, text, zero byte.
    juce::MemoryOutputStream out;
    out.writeInt (0x21324356);
    out.writeInt (0);
    out << xmlText;
    out.writeByte (0);
    juce::MemoryBlock block (out.getData(), out.getDataSize());
    const auto length = (uint32_t) (block.getSize() - 9);
    std::memcpy (static_cast<char*> (block.getData()) + 4, &length, 4);
    return block;
}

void restore (VarelleProcessor& proc, const juce::MemoryBlock& block)
{
    proc.setStateInformation (block.getData(), (int) block.getSize());
}

float plain (VarelleProcessor& proc, const char* id)
{
    auto* p = proc.valueTreeState.getParameter (id);
    return p->convertFrom0to1 (p->getValue());
}

juce::String xmlText (const juce::MemoryBlock& block)
{
    return juce::String::fromUTF8 (static_cast<const char*> (block.getData()) + 8, (int) block.getSize() - 9);
}
} // namespace

TEST (State, BlockLayoutAndAttributeOrder)
{
    VarelleProcessor proc;
    const auto block = stateOf (proc);
    ASSERT_GT (block.getSize(), 9u);

    const auto* bytes = static_cast<const unsigned char*> (block.getData());
    EXPECT_EQ (juce::String ((const char*) bytes, 4), "VC2!");
    uint32_t length = 0;
    std::memcpy (&length, bytes + 4, 4);
    EXPECT_EQ (length, block.getSize() - 9);
    EXPECT_EQ (bytes[block.getSize() - 1], 0);

    const auto text = xmlText (block);
    EXPECT_FALSE (text.containsChar ('\n'));
    EXPECT_TRUE (text.startsWith ("<?xml version=\"1.0\" encoding=\"UTF-8\"?> <Parameters _latencyMode=\"0\" _uiScale=\"1.0\" "
                                  "_panSide=\"1\" _autoKeyEnabled=\"1\" _keyRoot=\"-1\" _keyQuality=\"0\" "
                                  "_zone0_lowNote=\"40\" _zone0_highNote=\"52\" _zone0_delaySync=\"0\" _zone0_delaySyncDiv=\"3\" "
                                  "_zone1_lowNote=\"53\""))
        << text;

    const auto xml = juce::parseXML (text);
    ASSERT_NE (xml, nullptr);
    EXPECT_EQ (xml->getNumChildElements(), 46);
    EXPECT_EQ (xml->getChildByAttribute ("id", "stereo_mode")->getStringAttribute ("value"), "1.0");
}

TEST (State, RoundTripReproducesEverySetting)
{
    VarelleProcessor source;
    std::mt19937 rng (5);
    for (auto* param : source.getParameters())
        param->setValueNotifyingHost (std::uniform_real_distribution<float> (0.0f, 1.0f) (rng));
    source.setParameterPlain ("auto_key", 0.0f);
    source.latencyMode = 2;
    source.uiScale = 1.25f;
    source.panSide = false;
    source.autoKeyEnabled = false;
    source.setKey (9, 1);
    for (int z = 0; z < 3; ++z)
    {
        source.zones[(size_t) z].lowNote = 30 + z;
        source.zones[(size_t) z].highNote = 70 + z;
        source.zones[(size_t) z].delaySync = z != 1;
        source.zones[(size_t) z].delaySyncDiv = 5 + z;
    }

    const auto block = stateOf (source);
    VarelleProcessor target;
    restore (target, block);

    for (auto* param : source.getParameters())
    {
        const auto& id = dynamic_cast<juce::RangedAudioParameter*> (param)->getParameterID();
        EXPECT_EQ (source.valueTreeState.getRawParameterValue (id)->load(),
                   target.valueTreeState.getRawParameterValue (id)->load()) << id;
    }
    EXPECT_EQ (target.latencyMode.load(), 2);
    EXPECT_TRUE (target.latencyChangePending.load());
    EXPECT_EQ (target.uiScale.load(), 1.25f);
    EXPECT_FALSE (target.panSide.load());
    EXPECT_FALSE (target.autoKeyEnabled.load());
    EXPECT_EQ (target.chordDetector.keyRoot.load(), 9);
    EXPECT_EQ (target.chordDetector.keyQuality.load(), 1);
    for (int z = 0; z < 3; ++z)
    {
        EXPECT_EQ (target.zones[(size_t) z].lowNote.load(), 30 + z);
        EXPECT_EQ (target.zones[(size_t) z].highNote.load(), 70 + z);
        EXPECT_EQ (target.zones[(size_t) z].delaySync.load(), z != 1);
        EXPECT_EQ (target.zones[(size_t) z].delaySyncDiv.load(), 5 + z);
    }

    // Saving the restored instance gives the same bytes.
    EXPECT_EQ (stateOf (target), block);
}

TEST (State, BadBlocksChangeNothing)
{
    VarelleProcessor proc;
    proc.setParameterPlain ("master_pan", 0.3f);
    proc.uiScale = 1.5f;
    const auto before = stateOf (proc);

    auto good = stateOf (proc);
    std::vector<juce::MemoryBlock> bad;
    bad.emplace_back (good.getData(), 8);                                // header only
    bad.emplace_back (good.getData(), 4);
    auto wrongMagic = good;
    static_cast<char*> (wrongMagic.getData())[0] = 'X';
    bad.push_back (wrongMagic);
    auto zeroLength = good;
    std::memset (static_cast<char*> (zeroLength.getData()) + 4, 0, 4);
    bad.push_back (zeroLength);
    auto negativeLength = good;
    std::memset (static_cast<char*> (negativeLength.getData()) + 4, 0xFF, 4);
    bad.push_back (negativeLength);
    bad.push_back (wrap ("this is not xml"));
    bad.push_back (wrap (""));
    // Markup the framework's XML reader mishandles: it loops for ever on a processing
    // instruction followed by text inside an element, recurses without end through an entity
    // that names itself, and once per nested element.
    bad.push_back (wrap ("<a><?x?>b</a>"));
    bad.push_back (wrap ("<!DOCTYPE a [<!ENTITY e \"&e;\">]><Parameters master_pan=\"&e;\"/>"));
    bad.push_back (wrap (juce::String::repeatedString ("<a>", 100000)));

    for (const auto& block : bad)
    {
        restore (proc, block);
        EXPECT_EQ (stateOf (proc), before);
    }
    proc.setStateInformation (nullptr, 100);
    proc.setStateInformation (good.getData(), -3);
    EXPECT_EQ (stateOf (proc), before);
    EXPECT_FALSE (proc.latencyChangePending.load());
}

TEST (State, CurrentFormAttributeRules)
{
    {
        // No "_uiScale": 1.0. No "_latencyMode": unchanged, no re-preparation. No "_panSide": off.
        VarelleProcessor proc;
        proc.uiScale = 2.0f;
        proc.latencyMode = 1;
        restore (proc, wrap ("<Parameters/>"));
        EXPECT_EQ (proc.uiScale.load(), 1.0f);
        EXPECT_EQ (proc.latencyMode.load(), 1);
        EXPECT_FALSE (proc.latencyChangePending.load());
        EXPECT_FALSE (proc.panSide.load());
        EXPECT_TRUE (proc.autoKeyEnabled.load());
    }
    {
        VarelleProcessor proc;
        proc.latencyMode = 1;
        restore (proc, wrap ("<Parameters _latencyMode=\"1\"/>"));
        EXPECT_FALSE (proc.latencyChangePending.load());
    }
    {
        // Numbers beyond what the members hold: the scale falls back to 1.0, integers saturate.
        struct Case { const char* xml; float scale; int lowNote; };
        const Case cases[] = {
            { "<Parameters _uiScale=\"1e40\"/>", 1.0f, 0 },
            { "<Parameters _uiScale=\"-1e300\"/>", 1.0f, 0 },
            { "<Parameters _uiScale=\"1.5\" _zone0_lowNote=\"99999999999999999999\"/>", 1.5f, 2147483647 },
            { "<Parameters _zone0_lowNote=\" -40x\"/>", 1.0f, -40 },
            { "<Parameters _uiScale=\"1.5e00000000000000000001\"/>", 15.0f, 0 },
            { "<Parameters _uiScale=\"1.5e-99999999999\"/>", 0.0f, 0 },
        };
        for (const auto& c : cases)
        {
            VarelleProcessor proc;
            restore (proc, wrap (c.xml));
            EXPECT_FLOAT_EQ (proc.uiScale.load(), c.scale) << c.xml;
            if (c.lowNote != 0)
                EXPECT_EQ (proc.zones[0].lowNote.load(), c.lowNote) << c.xml;
        }
    }
    {
        VarelleProcessor proc;
        restore (proc, wrap ("<Parameters _autoKeyEnabled=\"0\" _keyRoot=\"4\" _keyQuality=\"1\"/>"));
        EXPECT_FALSE (proc.autoKeyEnabled.load());
        EXPECT_EQ (plain (proc, "auto_key"), 0.0f);
        EXPECT_EQ (proc.chordDetector.keyRoot.load(), 4);
        EXPECT_EQ (proc.chordDetector.keyQuality.load(), 1);
    }
    {
        VarelleProcessor proc;
        proc.setKey (2, 0);
        restore (proc, wrap ("<Parameters _autoKeyEnabled=\"0\" _keyRoot=\"-1\" _keyQuality=\"1\"/>"));
        EXPECT_FALSE (proc.autoKeyEnabled.load());
        EXPECT_EQ (proc.chordDetector.keyRoot.load(), 2);
    }
    {
        VarelleProcessor proc;
        restore (proc, wrap ("<Parameters _autoKeyEnabled=\"yes\" _keyRoot=\"4\" _keyQuality=\"1\"/>"));
        EXPECT_TRUE (proc.autoKeyEnabled.load());
        EXPECT_EQ (proc.chordDetector.keyRoot.load(), -1);
    }
    {
        // Zone 0 without "lowNote" keeps everything; zone 1 with it but without a division gets 3.
        VarelleProcessor proc;
        proc.zones[1].delaySyncDiv = 7;
        restore (proc, wrap ("<Parameters _zone0_highNote=\"99\" _zone0_delaySyncDiv=\"1\" _zone1_lowNote=\"45\"/>"));
        EXPECT_EQ (proc.zones[0].highNote.load(), 52);
        EXPECT_EQ (proc.zones[0].delaySyncDiv.load(), 3);
        EXPECT_EQ (proc.zones[1].lowNote.load(), 45);
        EXPECT_EQ (proc.zones[1].highNote.load(), 0);
        EXPECT_EQ (proc.zones[1].delaySyncDiv.load(), 3);
    }
    {
        // Any root tag but the legacy one is the current form; values are limited by their
        // ranges and NaN falls back to the default.
        VarelleProcessor proc;
        restore (proc, wrap ("<Something><PARAM id=\"zone_1_delay_time\" value=\"900\"/><PARAM id=\"pan_glide\" value=\"nan\"/>"
                             "<PARAM id=\"nonsense\" value=\"3\"/></Something>"));
        EXPECT_EQ (plain (proc, "zone_1_delay_time"), 500.0f);
        EXPECT_NEAR (plain (proc, "pan_glide"), 0.7f, 1e-6);
        const auto text = xmlText (stateOf (proc));
        EXPECT_TRUE (text.contains ("<Parameters "));
        EXPECT_FALSE (text.contains ("nonsense"));
    }
    {
        // A parameter listed twice: the first entry counts, and what is saved is what runs.
        VarelleProcessor proc, copy;
        restore (proc, wrap ("<Parameters><PARAM id=\"master_pan\" value=\"0\"/>"
                             "<PARAM id=\"master_pan\" value=\"1\"/></Parameters>"));
        EXPECT_EQ (plain (proc, "master_pan"), 0.0f);
        restore (copy, stateOf (proc));
        EXPECT_EQ (plain (copy, "master_pan"), 0.0f);

        // The same for an attribute given twice.
        restore (proc, wrap ("<Parameters><PARAM id=\"reverb_mix\" value=\"0.25\" value=\"0.0\"/></Parameters>"));
        EXPECT_NEAR (plain (proc, "reverb_mix"), 0.25f, 1e-6);
        restore (copy, stateOf (proc));
        EXPECT_NEAR (plain (copy, "reverb_mix"), 0.25f, 1e-6);
    }
}

TEST (State, LegacyImport)
{
    VarelleProcessor proc;
    proc.panSide = false;
    proc.setParameterPlain ("pan_spread", 0.4f);
    proc.setParameterPlain ("detection_engine", 2.0f);
    restore (proc, wrap ("<varellestate panHardness=\"0.6\" zone2_delayMix=\"0.5\" zone1_lowNote=\"44\" "
                         "zone1_delaySync=\"1\" autoKeyEnabled=\"0\" keyRoot=\"7\" latencyMode=\"2\"/>"));

    EXPECT_EQ (plain (proc, "pan_mode"), 0.0f);          // "Dynamic" when absent
    EXPECT_NEAR (plain (proc, "pan_hardness"), 0.6f, 1e-6);
    EXPECT_NEAR (plain (proc, "pan_glide"), 0.7f, 1e-6);
    EXPECT_NEAR (plain (proc, "zone_2_delay_mix"), 0.5f, 1e-6);
    EXPECT_NEAR (plain (proc, "pan_spread"), 0.4f, 1e-6); // not part of the legacy form
    EXPECT_EQ (plain (proc, "detection_engine"), 2.0f);
    EXPECT_TRUE (proc.panSide.load());                    // on when absent
    EXPECT_EQ (proc.zones[1].lowNote.load(), 44);
    EXPECT_EQ (proc.zones[1].highNote.load(), 59);        // keeps its value when absent
    EXPECT_TRUE (proc.zones[1].delaySync.load());
    EXPECT_EQ (proc.zones[1].delaySyncDiv.load(), 3);
    EXPECT_FALSE (proc.autoKeyEnabled.load());
    EXPECT_EQ (plain (proc, "auto_key"), 0.0f);
    EXPECT_EQ (proc.chordDetector.keyRoot.load(), 7);
    EXPECT_EQ (proc.chordDetector.keyQuality.load(), 0);
    EXPECT_EQ (proc.latencyMode.load(), 2);
    EXPECT_TRUE (proc.latencyChangePending.load());
}

// Damaged blocks of every kind: never a crash, never a non-finite parameter.
TEST (State, RandomlyDamagedBlocksAreHarmless)
{
    VarelleProcessor donor;
    donor.setParameterPlain ("master_pan", 0.1f);
    const auto good = stateOf (donor);

    std::mt19937 rng (1234);
    VarelleProcessor proc;
    for (int iteration = 0; iteration < 1500; ++iteration)
    {
        juce::MemoryBlock block = good;
        auto* bytes = static_cast<unsigned char*> (block.getData());
        const int edits = 1 + (int) (rng() % 8);
        for (int e = 0; e < edits; ++e)
        {
            const size_t at = 8 + rng() % (block.getSize() - 8);
            switch (rng() % 3)
            {
                case 0: bytes[at] = (unsigned char) rng(); break;
                case 1: bytes[at] = (unsigned char) "<>\"=/ 0123456789-.e"[rng() % 19]; break;
                default: block.setSize (at, false); bytes = static_cast<unsigned char*> (block.getData()); break;
            }
            if (block.getSize() <= 9)
                break;
        }
        restore (proc, block);
        for (auto* param : proc.getParameters())
            ASSERT_TRUE (std::isfinite (param->getValue()));
        ASSERT_TRUE (std::isfinite (proc.uiScale.load()));
    }
}
