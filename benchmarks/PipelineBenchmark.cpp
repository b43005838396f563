// Real-time factor of the whole processor: seconds of audio processed per second of CPU time
// (the thread's own CPU time, so a busy machine disturbs the figures little),
// per latency mode and detection engine, for a mono and a stereo input at 44.1 kHz in blocks
// of 512. A factor of 20 means the plug-in uses 5 % of one core. The network runs only at
// STUDIO's 4096-point frames; LIVE and MELODY always run the classical tracker.

#include "BenchmarkSupport.h"
#include "DemoPhrase.h"
#include "VarelleProcessor.h"

#include <juce_events/juce_events.h>

#include <iostream>

namespace
{
struct Result
{
    double realTimeFactor;
};

double measure (int latencyMode, int inputChannels, int stereoMode, int engine, const juce::AudioBuffer<float>& phrase,
                bool zoneEffects = false)
{
    constexpr double rate = 44100.0;
    constexpr int block = 512;

    VarelleProcessor proc;
    proc.latencyMode = latencyMode;
    proc.setParameterPlain ("stereo_mode", (float) stereoMode);
    proc.setParameterPlain ("detection_engine", (float) engine);
    if (zoneEffects)
    {
        // Every stage busy: zone EQ, delays and reverb sends, Dynamic panning with glide.
        proc.setParameterPlain ("zone_fx_enabled", 1.0f);
        proc.setParameterPlain ("pan_mode", 0.0f);
        for (int z = 0; z < 3; ++z)
        {
            const juce::String prefix = "zone_" + juce::String (z) + "_";
            proc.setParameterPlain (prefix + "eq_low", 3.0f);
            proc.setParameterPlain (prefix + "eq_high", -2.0f);
            proc.setParameterPlain (prefix + "delay_mix", 0.3f);
            proc.setParameterPlain (prefix + "reverb_send", 0.4f);
        }
    }

    juce::AudioProcessor::BusesLayout layout;
    layout.inputBuses.add (inputChannels == 1 ? juce::AudioChannelSet::mono() : juce::AudioChannelSet::stereo());
    layout.outputBuses.add (juce::AudioChannelSet::stereo());
    proc.setBusesLayout (layout);
    proc.setRateAndBufferSizeDetails (rate, block);
    proc.prepareToPlay (rate, block);

    const int length = phrase.getNumSamples();
    juce::AudioBuffer<float> buffer (2, block);
    juce::MidiBuffer midi;

    auto runOnce = [&]
    {
        for (int pos = 0; pos + block <= length; pos += block)
        {
            buffer.copyFrom (0, 0, phrase, 0, pos, block);
            // A slightly different right side, as from a stereo pair of microphones.
            buffer.copyFrom (1, 0, phrase, 0, juce::jmax (0, pos - 7), block);
            proc.processBlock (buffer, midi);
        }
    };

    runOnce(); // warm-up: caches, first frames
    const double seconds = orvex::bench::bestTimeSeconds (3, runOnce);
    const double audioSeconds = (double) ((length / block) * block) / rate;
    return audioSeconds / seconds;
}
} // namespace

int main()
{
    juce::ScopedJuceInitialiser_GUI juceInit;
    const auto phrase = varelle::renderDemoPhrase (44100.0);

    std::cout << "Whole-pipeline real-time factor (audio seconds per CPU second; 44.1 kHz, block 512)\n";
    std::cout << "mode           routing   engine      RTF       CPU share of one core\n";
    const char* modes[] = { "STUDIO 4096", "LIVE 1024", "MELODY 512" };
    struct Engine { const char* name; int value; };
    const Engine classical { "classical", 1 }, neural { "neural", 2 };
    for (int mode = 0; mode < 3; ++mode)
    {
        struct Routing { const char* name; int channels; int stereoMode; };
        for (const Routing& r : { Routing { "mono", 1, 1 }, Routing { "M/S", 2, 0 }, Routing { "Dual", 2, 1 } })
            for (const Engine& e : { classical, neural })
            {
                if (mode != 0 && e.value == neural.value)
                    continue;
                const double rtf = measure (mode, r.channels, r.stereoMode, e.value, phrase);
                std::printf ("%-14s %-9s %-11s %-9.1f %.2f %%\n", modes[mode], r.name, e.name, rtf, 100.0 / rtf);
            }
    }

    std::cout << "\nAll stages on (zone FX with EQ, delay and reverb; Dynamic pan with glide)\n";
    for (int mode = 0; mode < 3; ++mode)
        for (const Engine& e : { classical, neural })
        {
            if (mode != 0 && e.value == neural.value)
                continue;
            const double rtf = measure (mode, 2, 1, e.value, phrase, true);
            std::printf ("%-14s %-9s %-11s %-9.1f %.2f %%\n", modes[mode], "Dual", e.name, rtf, 100.0 / rtf);
        }
    return 0;
}
