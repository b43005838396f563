// libFuzzer target: arbitrary bytes handed to setStateInformation, as a host does with the
// block it stored in a project. Whatever the bytes, the restore must not crash, must leave
// every parameter finite and inside its range, and what is saved afterwards must restore to
// the same settings in another instance (a host that saves again keeps what it had).

#include "FuzzRequire.h"
#include "VarelleProcessor.h"

#include <juce_events/juce_events.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace
{
struct Instances
{
    juce::ScopedJuceInitialiser_GUI juce;   // parameter trees need a message manager
    VarelleProcessor restored;
    VarelleProcessor check;
};

Instances& instances()
{
    // Built once: a processor takes far longer to construct than a restore takes.
    // Never destroyed: the framework's own statics may be gone by the time static objects
    // are destroyed at exit, and its shutdown would then free them twice.
    static auto* i = new Instances();
    return *i;
}


float plain (juce::AudioProcessorParameter& param)
{
    auto& ranged = dynamic_cast<juce::RangedAudioParameter&> (param);
    return ranged.convertFrom0to1 (ranged.getValue());
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    if (size > (size_t) std::numeric_limits<int>::max())
        return 0;

    auto& proc = instances().restored;
    auto& check = instances().check;

    proc.setStateInformation (data, (int) size);

    for (auto* param : proc.getParameters())
    {
        const float value = param->getValue();
        REQUIRE (std::isfinite (value) && value >= 0.0f && value <= 1.0f);
    }
    REQUIRE (std::isfinite (proc.uiScale.load()));

    // What a host saves now restores to the same settings in another instance.
    juce::MemoryBlock saved;
    proc.getStateInformation (saved);
    check.setStateInformation (saved.getData(), (int) saved.getSize());

    // One exception by design: with automatic key off, restoring a block that names a key also
    // turns "auto_key" off, while a block without a key (or with a negative one) leaves the
    // parameter as it was; the saved block then carries the instance's current key.
    const auto& params = proc.getParameters();
    const auto& checkParams = check.getParameters();
    for (int i = 0; i < params.size(); ++i)
    {
        if (! proc.autoKeyEnabled.load()
            && dynamic_cast<juce::RangedAudioParameter*> (params[i])->getParameterID() == "auto_key")
            continue;
        if (plain (*params[i]) != plain (*checkParams[i]))
            std::fprintf (stderr, "%s: %.9g restored as %.9g\n",
                          dynamic_cast<juce::RangedAudioParameter*> (params[i])->getParameterID().toRawUTF8(),
                          (double) plain (*params[i]), (double) plain (*checkParams[i]));
        REQUIRE (plain (*params[i]) == plain (*checkParams[i]));
    }
    REQUIRE (check.latencyMode.load() == proc.latencyMode.load());
    REQUIRE (check.uiScale.load() == proc.uiScale.load());
    REQUIRE (check.panSide.load() == proc.panSide.load());
    REQUIRE (check.autoKeyEnabled.load() == proc.autoKeyEnabled.load());
    if (! proc.autoKeyEnabled.load() && proc.chordDetector.keyRoot.load() >= 0)
        REQUIRE (check.chordDetector.keyRoot.load() == proc.chordDetector.keyRoot.load()
                 && check.chordDetector.keyQuality.load() == proc.chordDetector.keyQuality.load());
    for (size_t z = 0; z < proc.zones.size(); ++z)
    {
        const auto& a = proc.zones[z];
        const auto& b = check.zones[z];
        REQUIRE (a.lowNote.load() == b.lowNote.load() && a.highNote.load() == b.highNote.load());
        REQUIRE (a.delaySync.load() == b.delaySync.load() && a.delaySyncDiv.load() == b.delaySyncDiv.load());
    }
    // Parameter changes post notifications to the message thread, and every new attribute name
    // is interned in the framework's string pool. Without a message loop and a clean-up both
    // would pile up input after input, and every later input would run slower.
    juce::MessageManager::getInstance()->runDispatchLoopUntil (0);
    juce::StringPool::getGlobalPool().garbageCollect();
    return 0;
}
