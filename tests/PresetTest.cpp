#include "VarelleProcessor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include <sys/resource.h>

namespace
{
float plain (VarelleProcessor& proc, const juce::String& id)
{
    auto* param = proc.valueTreeState.getParameter (id);
    return param->convertFrom0to1 (param->getValue());
}

float plainDefault (VarelleProcessor& proc, const juce::String& id)
{
    auto* param = proc.valueTreeState.getParameter (id);
    return param->convertFrom0to1 (param->getDefaultValue());
}

juce::MemoryBlock stateOf (VarelleProcessor& proc)
{
    juce::MemoryBlock block;
    proc.getStateInformation (block);
    return block;
}

juce::MemoryBlock contentOf (const juce::File& file)
{
    juce::MemoryBlock block;
    file.loadFileAsData (block);
    return block;
}

juce::StringArray namesIn (const juce::File& folder)
{
    // Hidden files included: a temporary file left behind would show here.
    juce::StringArray names;
    for (const auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, false))
        names.add (f.getFileName());
    names.sort (false);
    return names;
}

/** Every parameter but "auto_key" holds its default. */
void expectParametersAtDefaults (VarelleProcessor& proc)
{
    for (auto* param : proc.getParameters())
    {
        const auto id = dynamic_cast<juce::RangedAudioParameter*> (param)->getParameterID();
        if (id != "auto_key")
        {
            EXPECT_EQ (plain (proc, id), plainDefault (proc, id)) << id;
        }
    }
}

/** Writes to regular files fail beyond `bytes` while it lives, for root as for anyone: the
    kernel enforces the file-size limit regardless of privileges, whereas permission bits do
    not stop root. A write that crosses it comes back short, as on a full disk. */
struct FileSizeLimit
{
    explicit FileSizeLimit (rlim_t bytes)
    {
        getrlimit (RLIMIT_FSIZE, &saved);
        savedHandler = std::signal (SIGXFSZ, SIG_IGN);
        rlimit limited = saved;
        limited.rlim_cur = bytes;
        active = setrlimit (RLIMIT_FSIZE, &limited) == 0;
    }

    ~FileSizeLimit()
    {
        setrlimit (RLIMIT_FSIZE, &saved);
        std::signal (SIGXFSZ, savedHandler);
    }

    rlimit saved {};
    void (*savedHandler) (int) = nullptr;
    bool active = false;
};

/** The state block of a host or a damaged file can be empty; the processor never returns one,
    so this stand-in does. */
struct EmptyStateProcessor : VarelleProcessor
{
    void getStateInformation (juce::MemoryBlock& destData) override { destData.reset(); }
};
} // namespace

/** Every test gets a fresh, empty home folder: the framework resolves the user's data folder
    from $HOME on every call, so nothing here touches the real ~/.config. */
class Presets : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (const char* old = std::getenv ("HOME"))
            savedHome = old;

        home = juce::File::getSpecialLocation (juce::File::tempDirectory)
                   .getNonexistentChildFile ("orvex-preset-test-home-", "", false);
        ASSERT_TRUE (home.createDirectory());
        ::setenv ("HOME", home.getFullPathName().toRawUTF8(), 1);

        ASSERT_TRUE (juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory).isAChildOf (home));
        folder = home.getChildFile (".config/VANTORIX/ORVEX/Presets");
    }

    void TearDown() override
    {
        if (savedHome)
            ::setenv ("HOME", savedHome->c_str(), 1);
        else
            ::unsetenv ("HOME");
        home.deleteRecursively();
    }

    // Built by hand: getChildFile would read a leading "~" as the home folder.
    juce::File preset (const juce::String& name) const { return juce::File (folder.getFullPathName() + "/" + name + ".xml"); }

    std::optional<std::string> savedHome;
    juce::File home, folder;
};

TEST_F (Presets, FolderIsCreatedAndListsXmlFilesOnlyInCaseInsensitiveOrder)
{
    VarelleProcessor proc;
    EXPECT_TRUE (proc.getPresetList().isEmpty());
    EXPECT_EQ (proc.getPresetsDirectory(), folder);
    EXPECT_TRUE (folder.isDirectory());

    preset ("b").replaceWithText ("x");
    preset ("A").replaceWithText ("x");
    preset ("C").replaceWithText ("x");
    folder.getChildFile ("c.txt").replaceWithText ("x");
    folder.getChildFile ("d.xml").createDirectory();

    EXPECT_EQ (proc.getPresetList(), juce::StringArray ({ "A", "b", "C" }));
}

TEST_F (Presets, SaveWritesTheStateBlockAndReplacesAnOldFileInOneStep)
{
    VarelleProcessor proc;
    proc.setParameterPlain ("master_pan", 0.3f);
    proc.savePreset ("Lead");
    EXPECT_EQ (contentOf (preset ("Lead")), stateOf (proc));
    EXPECT_EQ (proc.getCurrentPresetName(), "Lead");
    const auto first = contentOf (preset ("Lead"));

    // A reader that opened the old file keeps reading the old content in full: the new file
    // is moved into place, never written over the old one.
    juce::FileInputStream reader (preset ("Lead"));
    ASSERT_TRUE (reader.openedOk());

    proc.setParameterPlain ("master_pan", 0.8f);
    proc.savePreset ("Lead");
    EXPECT_EQ (contentOf (preset ("Lead")), stateOf (proc));
    EXPECT_NE (contentOf (preset ("Lead")), first);

    juce::MemoryBlock seenByReader;
    reader.readIntoMemoryBlock (seenByReader);
    EXPECT_EQ (seenByReader, first);

    EXPECT_EQ (namesIn (folder), juce::StringArray ({ "Lead.xml" }));   // no temporary file left
}

TEST_F (Presets, FailedSavesLeaveTheDiskAsItWas)
{
    VarelleProcessor proc;
    proc.setParameterPlain ("master_pan", 0.3f);
    proc.savePreset ("Lead");
    const auto saved = contentOf (preset ("Lead"));
    ASSERT_GT (saved.getSize(), 256u);

    proc.setParameterPlain ("master_pan", 0.9f);
    {
        // Disk full: only the first 100 bytes of the new block reach the disk.
        FileSizeLimit limit (100);
        ASSERT_TRUE (limit.active);
        proc.savePreset ("Lead");
    }
    EXPECT_EQ (contentOf (preset ("Lead")), saved);
    EXPECT_EQ (namesIn (folder), juce::StringArray ({ "Lead.xml" }));

    // The target name is taken by a folder with content: it cannot be replaced and stays.
    ASSERT_TRUE (preset ("Taken").createDirectory());
    ASSERT_TRUE (preset ("Taken").getChildFile ("inside").replaceWithText ("keep"));
    proc.savePreset ("Taken");
    EXPECT_EQ (preset ("Taken").getChildFile ("inside").loadFileAsString(), "keep");
    EXPECT_EQ (namesIn (folder), juce::StringArray ({ "Lead.xml", "Taken.xml" }));

    // The presets folder cannot be created because a file has its name: nothing is written.
    folder.deleteRecursively();
    folder.replaceWithText ("not a folder");
    proc.savePreset ("Lead");
    EXPECT_TRUE (proc.getPresetList().isEmpty());
    EXPECT_EQ (folder.loadFileAsString(), "not a folder");
}

TEST_F (Presets, EmptyStateBlockDeletesThePreset)
{
    VarelleProcessor proc;
    proc.savePreset ("Gone");
    ASSERT_TRUE (preset ("Gone").existsAsFile());

    EmptyStateProcessor empty;
    empty.savePreset ("Gone");
    EXPECT_FALSE (preset ("Gone").exists());
    EXPECT_EQ (empty.getCurrentPresetName(), "Gone");
}

TEST_F (Presets, NameRules)
{
    const struct { const char* typed; const char* saved; } cases[] = {
        { "  Lead  ", "Lead" },
        { "\tClean Verse\n", "Clean Verse" },
        { "Default", "" },
        { "default", "" },
        { "  DEFAULT ", "" },
        { "Defaults", "Defaults" },
        { "", "" },
        { "   ", "" },
        { "Rock & Roll: #2", "Rock & Roll: #2" },
    };
    for (const auto& c : cases)
        EXPECT_EQ (VarelleProcessor::presetNameFromUserInput (c.typed), juce::String (c.saved)) << "'" << c.typed << "'";

    VarelleProcessor proc;
    proc.savePreset (VarelleProcessor::presetNameFromUserInput ("  Lead  "));
    EXPECT_TRUE (preset ("Lead").existsAsFile());

    // Names that the framework would read as a path stay inside the folder or save nothing.
    proc.savePreset ("~Home");
    EXPECT_TRUE (preset ("~Home").existsAsFile());
    proc.savePreset ("../Outside");
    proc.savePreset ("/tmp/orvex-absolute");
    EXPECT_FALSE (folder.getSiblingFile ("Outside.xml").exists());
    EXPECT_FALSE (juce::File ("/tmp/orvex-absolute.xml").exists());
    EXPECT_EQ (proc.getPresetList(), juce::StringArray ({ "Lead", "~Home" }));
}

TEST_F (Presets, LoadingKeepsTheAutomaticKeySettingAndAFixedKey)
{
    {
        VarelleProcessor source;   // automatic key on
        source.setParameterPlain ("master_pan", 0.2f);
        source.setKey (4, 1);
        source.savePreset ("Auto");
    }
    {
        VarelleProcessor source;
        source.autoKeyEnabled = false;
        source.setParameterPlain ("auto_key", 0.0f);
        source.setKey (2, 0);
        source.savePreset ("Fixed");
    }

    // Fixed key A into which a preset saved with automatic key on is loaded.
    VarelleProcessor proc;
    proc.autoKeyEnabled = false;
    proc.setParameterPlain ("auto_key", 0.0f);
    proc.setKey (9, 0);
    proc.loadPreset ("Auto");
    EXPECT_NEAR (plain (proc, "master_pan"), 0.2f, 1e-6);
    EXPECT_FALSE (proc.autoKeyEnabled.load());
    EXPECT_EQ (plain (proc, "auto_key"), 0.0f);
    EXPECT_EQ (proc.chordDetector.keyRoot.load(), 9);
    EXPECT_EQ (proc.chordDetector.keyQuality.load(), 0);
    EXPECT_EQ (proc.getCurrentPresetName(), "Auto");

    // A preset with a fixed key of its own does not replace the instance's fixed key.
    proc.loadPreset ("Fixed");
    EXPECT_FALSE (proc.autoKeyEnabled.load());
    EXPECT_EQ (proc.chordDetector.keyRoot.load(), 9);
    EXPECT_EQ (proc.chordDetector.keyQuality.load(), 0);

    // Automatic key on, preset saved with a fixed key: automatic key stays on.
    VarelleProcessor automatic;
    automatic.loadPreset ("Fixed");
    EXPECT_TRUE (automatic.autoKeyEnabled.load());
    EXPECT_EQ (plain (automatic, "auto_key"), 1.0f);
    EXPECT_EQ (automatic.getCurrentPresetName(), "Fixed");
}

TEST_F (Presets, UnloadableFilesChangeNothingButTheName)
{
    VarelleProcessor donor;
    donor.savePreset ("Valid");
    const auto valid = contentOf (preset ("Valid"));

    juce::MemoryBlock truncated (valid.getData(), valid.getSize() / 2);
    juce::MemoryBlock plainXml;
    plainXml.append ("<Parameters _uiScale=\"2\"/>", 26);

    const struct { const char* name; std::function<void (const juce::File&)> make; } cases[] = {
        { "Missing", [] (const juce::File&) {} },
        { "Folder", [] (const juce::File& f) { f.createDirectory(); } },
        { "Empty", [] (const juce::File& f) { f.create(); } },
        { "Garbage", [] (const juce::File& f) { f.replaceWithData ("VC2!\xff\xff\xff\x7f<<<<", 12); } },
        { "Truncated", [&] (const juce::File& f) { f.replaceWithData (truncated.getData(), truncated.getSize()); } },
        { "Unwrapped XML", [&] (const juce::File& f) { f.replaceWithData (plainXml.getData(), plainXml.getSize()); } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        c.make (preset (c.name));

        VarelleProcessor proc;
        proc.setParameterPlain ("pan_glide", 0.1f);
        proc.autoKeyEnabled = false;
        proc.setParameterPlain ("auto_key", 0.0f);
        proc.setKey (9, 1);
        proc.uiScale = 1.5f;
        const auto before = stateOf (proc);

        proc.loadPreset (c.name);
        EXPECT_EQ (stateOf (proc), before);
        EXPECT_EQ (proc.getCurrentPresetName(), c.name);
    }
}

TEST_F (Presets, ResetRestoresDefaultsButKeepsKeyLatencyAndScale)
{
    VarelleProcessor proc;
    for (auto* param : proc.getParameters())
        param->setValueNotifyingHost (0.77f);
    proc.setParameterPlain ("auto_key", 0.0f);
    proc.autoKeyEnabled = false;
    proc.setKey (9, 1);
    proc.latencyMode = 2;
    proc.uiScale = 1.25f;
    proc.panSide = true;
    proc.noteMuted[3] = true;
    proc.noteMuted[88] = true;
    proc.noteSoloed[40] = true;
    proc.zoneSoloed[1] = true;
    for (auto& zone : proc.zones)
    {
        zone.lowNote = 21;
        zone.highNote = 108;
        zone.eqLowGain = 5.0f;
        zone.volume = -6.0f;
        zone.delayTimeMs = 400.0f;
        zone.delayFeedback = 0.8f;
        zone.delayMix = 0.6f;
        zone.delaySync = true;
        zone.delaySyncDiv = 5;
    }
    // What the audio thread copied from the parameters at its last block.
    proc.snapshot.panGlide = 0.05f;
    proc.snapshot.panMode = 0;
    proc.snapshot.stereoWidth = 0.1f;
    proc.snapshot.outputGainDb = 9.0f;
    proc.snapshot.flipLR = true;
    proc.zoneFxEnabled = true;
    proc.currentPresetName.set ("Lead");

    proc.resetToDefaults();

    expectParametersAtDefaults (proc);
    EXPECT_EQ (plain (proc, "auto_key"), 0.0f);
    EXPECT_FALSE (proc.autoKeyEnabled.load());
    EXPECT_EQ (proc.chordDetector.keyRoot.load(), 9);
    EXPECT_EQ (proc.chordDetector.keyQuality.load(), 1);
    EXPECT_EQ (proc.latencyMode.load(), 2);
    EXPECT_EQ (proc.uiScale.load(), 1.25f);
    EXPECT_TRUE (proc.getCurrentPresetName().isEmpty());

    EXPECT_FALSE (proc.panSide.load());
    for (size_t c = 0; c < 89; ++c)
    {
        EXPECT_FALSE (proc.noteMuted[c].load()) << c;
        EXPECT_FALSE (proc.noteSoloed[c].load()) << c;
    }
    for (const auto& solo : proc.zoneSoloed)
        EXPECT_FALSE (solo.load());

    const int low[] = { 40, 53, 60 }, high[] = { 52, 59, 84 };
    for (size_t z = 0; z < 3; ++z)
    {
        const auto& zone = proc.zones[z];
        EXPECT_EQ (zone.lowNote.load(), low[z]);
        EXPECT_EQ (zone.highNote.load(), high[z]);
        EXPECT_EQ (zone.eqLowGain.load(), 0.0f);
        EXPECT_EQ (zone.volume.load(), 0.0f);
        EXPECT_EQ (zone.delayTimeMs.load(), 250.0f);
        EXPECT_NEAR (zone.delayFeedback.load(), 0.3f, 1e-6);
        EXPECT_EQ (zone.delayMix.load(), 0.0f);
        EXPECT_FALSE (zone.delaySync.load());
        EXPECT_EQ (zone.delaySyncDiv.load(), 0);
    }

    EXPECT_NEAR (proc.snapshot.panGlide.load(), 0.7f, 1e-6);
    EXPECT_EQ (proc.snapshot.panMode.load(), 1);
    EXPECT_EQ (proc.snapshot.stereoWidth.load(), 1.0f);
    EXPECT_EQ (proc.snapshot.outputGainDb.load(), 0.0f);
    EXPECT_FALSE (proc.snapshot.flipLR.load());
    EXPECT_FALSE (proc.zoneFxEnabled.load());
}

TEST_F (Presets, FactoryPresetsAreWrittenIntoAnEmptyFolderOnly)
{
    const struct { const char* name; std::vector<std::pair<const char*, float>> values; } expected[] = {
        { "Wide Open", { { "pan_mode", 1 }, { "pan_hardness", 0.15f }, { "pan_spread", 0.8f }, { "stereo_mode", 1 }, { "wet_dry_mix", 1.0f } } },
        { "Hard L-R", { { "pan_mode", 1 }, { "pan_hardness", 0.85f }, { "pan_spread", 1.0f }, { "stereo_mode", 1 } } },
        { "Dynamic Spread", { { "pan_mode", 0 }, { "pan_hardness", 0.3f }, { "pan_glide", 0.5f }, { "pan_spread", 1.0f } } },
        { "M-S Wide", { { "pan_mode", 1 }, { "pan_hardness", 0.2f }, { "stereo_mode", 0 }, { "stereo_width", 0.7f } } },
        { "Zone EQ Shape", { { "pan_mode", 1 }, { "pan_hardness", 0.3f }, { "zone_fx_enabled", 1 }, { "zone_0_eq_low", 3.0f },
                             { "zone_0_eq_high", -2.0f }, { "zone_2_eq_low", -2.0f }, { "zone_2_eq_high", 4.0f } } },
        { "Zone Delay", { { "pan_mode", 1 }, { "pan_hardness", 0.25f }, { "zone_fx_enabled", 1 }, { "zone_2_delay_time", 180 },
                          { "zone_2_delay_feedback", 0.25f }, { "zone_2_delay_mix", 0.3f } } },
        { "Centered", { { "pan_mode", 1 }, { "pan_hardness", 0.0f }, { "pan_spread", 0.0f } } },
    };

    // Files that are not presets do not count: the folder is still empty of presets.
    folder.getChildFile ("notes.txt").replaceWithText ("x");
    folder.getChildFile ("old.xml").createDirectory();

    VarelleProcessor proc;
    proc.setParameterPlain ("master_pan", 0.1f);
    proc.setParameterPlain ("auto_key", 0.0f);
    proc.latencyMode = 1;
    proc.uiScale = 2.0f;
    proc.zones[0].delaySyncDiv = 6;
    proc.installFactoryPresets();

    EXPECT_EQ (proc.getPresetList(),
               juce::StringArray ({ "Centered", "Dynamic Spread", "Hard L-R", "M-S Wide", "Wide Open", "Zone Delay", "Zone EQ Shape" }));

    // The instance ends at the reset state.
    expectParametersAtDefaults (proc);
    EXPECT_EQ (plain (proc, "auto_key"), 0.0f);
    EXPECT_EQ (proc.zones[0].delaySyncDiv.load(), 0);
    EXPECT_EQ (proc.latencyMode.load(), 1);
    EXPECT_EQ (proc.uiScale.load(), 2.0f);
    EXPECT_TRUE (proc.getCurrentPresetName().isEmpty());

    for (const auto& preset : expected)
    {
        SCOPED_TRACE (preset.name);
        const auto block = contentOf (this->preset (preset.name));
        const auto xml = juce::AudioProcessor::getXmlFromBinary (block.getData(), (int) block.getSize());
        ASSERT_NE (xml, nullptr);
        EXPECT_EQ (xml->getTagName(), "Parameters");
        EXPECT_EQ (xml->getIntAttribute ("_latencyMode"), 1);
        EXPECT_EQ (xml->getIntAttribute ("_zone0_delaySyncDiv", -1), 0);
        EXPECT_EQ (xml->getIntAttribute ("_panSide", -1), 0);

        VarelleProcessor loaded;
        loaded.setStateInformation (block.getData(), (int) block.getSize());
        std::set<juce::String> listed;
        for (const auto& [id, value] : preset.values)
        {
            EXPECT_NEAR (plain (loaded, id), value, 1e-5) << id;
            listed.insert (id);
        }
        for (auto* param : loaded.getParameters())
        {
            const auto id = dynamic_cast<juce::RangedAudioParameter*> (param)->getParameterID();
            if (listed.count (id) == 0 && id != "auto_key")
            {
                EXPECT_EQ (plain (loaded, id), plainDefault (loaded, id)) << id;
            }
        }
    }

    // A second editor: nothing written, nothing reset.
    const auto wideOpen = contentOf (preset ("Wide Open"));
    preset ("Centered").deleteFile();
    proc.setParameterPlain ("master_pan", 0.1f);
    proc.installFactoryPresets();
    EXPECT_NEAR (plain (proc, "master_pan"), 0.1f, 1e-6);
    EXPECT_FALSE (preset ("Centered").exists());
    EXPECT_EQ (contentOf (preset ("Wide Open")), wideOpen);
}

TEST_F (Presets, OneUserPresetStopsTheFactoryPresets)
{
    VarelleProcessor proc;
    proc.savePreset ("Mine");
    proc.setParameterPlain ("master_pan", 0.1f);
    proc.installFactoryPresets();
    EXPECT_EQ (proc.getPresetList(), juce::StringArray ({ "Mine" }));
    EXPECT_NEAR (plain (proc, "master_pan"), 0.1f, 1e-6);
    EXPECT_EQ (proc.getCurrentPresetName(), "Mine");
}

// The editor's timer reads the name while the message thread replaces it.
TEST (PresetName, ReadsWhileItIsSwappedSeeWholeNames)
{
    VarelleProcessor proc;
    const juce::String names[] = { "A rather long preset name that lives on the heap", "Short", {} };
    std::atomic<bool> done { false };
    std::atomic<int> torn { 0 };

    std::thread reader ([&]
    {
        while (! done.load())
        {
            const auto seen = proc.getCurrentPresetName();
            if (seen != names[0] && seen != names[1] && seen != names[2])
                ++torn;
        }
    });

    for (int i = 0; i < 200000; ++i)
        proc.currentPresetName.set (juce::String (names[i % 3].toRawUTF8()));   // a fresh allocation each time
    done = true;
    reader.join();
    EXPECT_EQ (torn.load(), 0);
}
