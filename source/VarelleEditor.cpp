#include "VarelleEditor.h"
#include "VarelleProcessor.h"

VarelleEditor::VarelleEditor (VarelleProcessor& p)
    : juce::AudioProcessorEditor (p), processor (p), generic (p)
{
    addAndMakeVisible (generic);
    setResizable (true, false);
    setSize (560, 640);
}

VarelleEditor::~VarelleEditor() = default;

void VarelleEditor::resized()
{
    generic.setBounds (getLocalBounds());
}
