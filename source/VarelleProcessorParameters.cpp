#include "VarelleProcessor.h"

#include <cmath>

namespace
{
using Group = juce::AudioProcessorParameterGroup;
namespace p = varelle::params;

juce::ParameterID pid (const juce::String& id) { return juce::ParameterID { id, 1 }; }

std::unique_ptr<juce::AudioParameterFloat> floatParam (const juce::String& id, const juce::String& name,
                                                       float min, float max, float step, float defaultValue)
{
    return std::make_unique<juce::AudioParameterFloat> (pid (id), name,
                                                        juce::NormalisableRange<float> (min, max, step, 1.0f),
                                                        defaultValue);
}

std::unique_ptr<juce::AudioParameterInt> intParam (const juce::String& id, const juce::String& name,
                                                   int min, int max, int defaultValue)
{
    return std::make_unique<juce::AudioParameterInt> (pid (id), name, min, max, defaultValue);
}

std::unique_ptr<juce::AudioParameterBool> boolParam (const juce::String& id, const juce::String& name, bool defaultValue)
{
    return std::make_unique<juce::AudioParameterBool> (pid (id), name, defaultValue);
}

std::unique_ptr<juce::AudioParameterChoice> choiceParam (const juce::String& id, const juce::String& name,
                                                         const juce::StringArray& items, int defaultIndex)
{
    return std::make_unique<juce::AudioParameterChoice> (pid (id), name, items, defaultIndex);
}

std::unique_ptr<Group> zoneGroup (int zone)
{
    static const char* const words[] = { "Low", "Mid", "High" };
    const juce::String word (words[zone]);
    const juce::String prefix = "zone_" + juce::String (zone) + "_";
    auto id = [zone] (int suffix) { return juce::String (p::zoneParamID (zone, suffix)); };

    return std::make_unique<Group> (prefix, word + " Zone", "|",
        floatParam (id (p::zoneEqLow), word + " EQ Low", -12.0f, 12.0f, 0.01f, 0.0f),
        floatParam (id (p::zoneEqMid), word + " EQ Mid", -12.0f, 12.0f, 0.01f, 0.0f),
        floatParam (id (p::zoneEqHigh), word + " EQ High", -12.0f, 12.0f, 0.01f, 0.0f),
        floatParam (id (p::zoneVolume), word + " Volume", -24.0f, 12.0f, 0.01f, 0.0f),
        floatParam (id (p::zoneReverbSend), word + " Reverb Send", 0.0f, 1.0f, 0.01f, 0.0f),
        floatParam (id (p::zoneDelayTime), word + " Delay Time", 20.0f, 500.0f, 1.0f, 250.0f),
        floatParam (id (p::zoneDelayFeedback), word + " Delay Feedback", 0.0f, 0.9f, 0.01f, 0.3f),
        floatParam (id (p::zoneDelayMix), word + " Delay Mix", 0.0f, 1.0f, 0.01f, 0.0f));
}
} // namespace

juce::AudioProcessorValueTreeState::ParameterLayout VarelleProcessor::createParameterLayout()
{
    juce::AudioProcessorValueTreeState::ParameterLayout layout;

    layout.add (std::make_unique<Group> ("pan", "Pan", "|",
        boolParam (p::panEnabled, "Pan Enabled", true),
        choiceParam (p::panMode, "Pan Mode", { "Dynamic", "Static" }, 1),
        floatParam (p::panHardness, "Pan Hardness", 0.0f, 1.0f, 0.01f, 0.0f),
        floatParam (p::panGlide, "Pan Glide", 0.0f, 1.0f, 0.01f, 0.7f),
        floatParam (p::panSpread, "Pan Spread", 0.0f, 1.0f, 0.01f, 1.0f),
        intParam (p::panLowNote, "Zone Low", 16, 108, 52),
        intParam (p::panCenterNote, "Zone Split", 16, 108, 62),
        intParam (p::panHighNote, "Zone High", 16, 108, 76)));

    layout.add (std::make_unique<Group> ("stereo", "Stereo & Output", "|",
        choiceParam (p::stereoMode, "Stereo Mode", { "M/S", "Dual" }, 1),
        floatParam (p::stereoWidth, "Stereo Width", 0.0f, 1.0f, 0.01f, 1.0f),
        floatParam (p::outputWidth, "Output Width", 0.0f, 1.0f, 0.01f, 0.0f),
        floatParam (p::masterPan, "Master Pan", 0.0f, 1.0f, 0.01f, 0.5f),
        boolParam (p::flipLR, "Flip L/R", false),
        floatParam (p::outputGainDb, "Output Gain", -12.0f, 12.0f, 0.1f, 0.0f),
        floatParam (p::wetDryMix, "Wet/Dry Mix", 0.0f, 1.0f, 0.01f, 1.0f)));

    layout.add (std::make_unique<Group> ("reverb", "Reverb", "|",
        floatParam (p::reverbMix, "Reverb Mix", 0.0f, 1.0f, 0.01f, 0.3f),
        floatParam (p::reverbSize, "Reverb Size", 0.0f, 1.0f, 0.01f, 0.5f)));

    layout.add (std::make_unique<Group> ("zone_fx", "Zone FX", "|",
        boolParam (p::zoneFxEnabled, "Zone FX Enabled", false),
        zoneGroup (0), zoneGroup (1), zoneGroup (2)));

    layout.add (std::make_unique<Group> ("mode", "Mode", "|",
        intParam (p::midiOffset, "Octave Offset", -24, 24, 0),
        boolParam (p::autoKey, "Auto Key", true),
        choiceParam (p::detectionEngine, "Detection Engine", { "Auto", "Classical", "Neural (Guitar)" }, 0),
        choiceParam (p::detectionPreset, "Detection Preset", { "Guitar", "Piano", "Percussive", "Bass" }, 0)));

    return layout;
}

void VarelleProcessor::setParameterPlain (const juce::String& parameterID, float plainValue)
{
    // A non-finite value has no meaning for any parameter; it must not reach the host.
    if (! std::isfinite (plainValue))
        return;

    if (auto* param = valueTreeState.getParameter (parameterID))
    {
        const float normalised = param->convertTo0to1 (plainValue);
        param->setValue (normalised);
        param->sendValueChangedMessageToListeners (normalised);
    }
}
