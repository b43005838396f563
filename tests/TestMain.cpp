#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

// JUCE's message manager must exist for parameter trees and async notifications; it needs no
// display.
int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juceInit;
    ::testing::InitGoogleTest (&argc, argv);
    return RUN_ALL_TESTS();
}
