// libFuzzer target: a preset file with arbitrary content, loaded by name through loadPreset,
// with $HOME pointing at a folder of the fuzzer's own. Whatever the file holds, loading must
// not crash, must take the preset's name, must keep the automatic-key setting and a fixed key,
// and must leave every parameter finite.

#include "FuzzRequire.h"
#include "VarelleProcessor.h"

#include <juce_events/juce_events.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace
{
std::string fuzzHome;

struct Instances
{
    juce::ScopedJuceInitialiser_GUI juce;
    VarelleProcessor proc;
    juce::File presetFile;
};

Instances& instances()
{
    // Never destroyed: the framework's own statics may be gone by the time static objects
    // are destroyed at exit, and its shutdown would then free them twice.
    static auto* i = new Instances();
    return *i;
}


float plain (VarelleProcessor& proc, const char* id)
{
    auto* param = proc.valueTreeState.getParameter (id);
    return param->convertFrom0to1 (param->getValue());
}

void removeHome()
{
    juce::File (fuzzHome).deleteRecursively();
}
} // namespace

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    // The framework resolves the user's data folder from $HOME on every call.
    char pattern[] = "/tmp/orvex-fuzz-home-XXXXXX";
    if (mkdtemp (pattern) == nullptr)
        std::abort();
    fuzzHome = pattern;
    setenv ("HOME", pattern, 1);
    std::atexit (removeHome);

    auto& i = instances();
    i.presetFile = i.proc.getPresetsDirectory().getChildFile ("Fuzz.xml");
    REQUIRE (i.presetFile.isAChildOf (juce::File (fuzzHome)));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    auto& i = instances();
    auto& proc = i.proc;

    // Half the inputs meet an instance with a fixed key, half one with automatic key.
    const bool fixedKey = size % 2 == 0;
    proc.autoKeyEnabled = ! fixedKey;
    proc.setParameterPlain ("auto_key", fixedKey ? 0.0f : 1.0f);
    if (fixedKey)
        proc.setKey (9, 1);

    {
        std::FILE* f = std::fopen (i.presetFile.getFullPathName().toRawUTF8(), "wb");
        REQUIRE (f != nullptr);
        REQUIRE (size == 0 || std::fwrite (data, 1, size, f) == size);
        std::fclose (f);
    }

    proc.loadPreset ("Fuzz");

    REQUIRE (proc.getCurrentPresetName() == "Fuzz");
    REQUIRE (proc.autoKeyEnabled.load() == ! fixedKey);
    REQUIRE (plain (proc, "auto_key") == (fixedKey ? 0.0f : 1.0f));
    if (fixedKey)
        REQUIRE (proc.chordDetector.keyRoot.load() == 9 && proc.chordDetector.keyQuality.load() == 1);

    for (auto* param : proc.getParameters())
        REQUIRE (std::isfinite (param->getValue()));
    REQUIRE (std::isfinite (proc.uiScale.load()));
    // Parameter changes post notifications to the message thread, and every new attribute name
    // is interned in the framework's string pool. Without a message loop and a clean-up both
    // would pile up input after input, and every later input would run slower.
    juce::MessageManager::getInstance()->runDispatchLoopUntil (0);
    juce::StringPool::getGlobalPool().garbageCollect();
    return 0;
}
