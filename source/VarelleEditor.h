#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

class VarelleProcessor;

/** The plug-in window. For now it lists every parameter in its group with the framework's
    generic controls, so the plug-in is fully usable in a host. */
class VarelleEditor : public juce::AudioProcessorEditor
{
public:
    explicit VarelleEditor (VarelleProcessor&);
    ~VarelleEditor() override;

    void resized() override;

private:
    VarelleProcessor& processor;
    juce::GenericAudioProcessorEditor generic;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (VarelleEditor)
};
