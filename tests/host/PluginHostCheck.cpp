// orvex-host-check: loads the built ORVEX plug-in through JUCE's own VST3 or LV2 hosting, as a
// DAW does, processes a file with varying block sizes and round-trips the state through the
// host API. Prints a line per check; exits non-zero on the first failure.

#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_audio_processors/juce_audio_processors.h>
#include <juce_events/juce_events.h>

#include <iostream>

namespace
{
struct Failure
{
    juce::String message;
};

void check (bool condition, const juce::String& what)
{
    if (! condition)
        throw Failure { what };
    std::cout << "ok: " << what << std::endl;
}

juce::String argument (const juce::StringArray& args, const juce::String& name, const juce::String& fallback = {})
{
    const int i = args.indexOf (name);
    return i >= 0 && i + 1 < args.size() ? args[i + 1] : fallback;
}

std::unique_ptr<juce::AudioPluginInstance> load (juce::AudioPluginFormatManager& formats, const juce::String& formatName,
                                                 const juce::String& identifier, const juce::String& searchPath,
                                                 double rate, int block)
{
    for (int f = 0; f < formats.getNumFormats(); ++f)
    {
        auto* format = formats.getFormat (f);
        if (format->getName() != formatName)
            continue;

        // LV2 plug-ins are found by URI among the bundles of a search path.
        if (searchPath.isNotEmpty())
            format->searchPathsForPlugins (juce::FileSearchPath (searchPath), true, false);

        juce::OwnedArray<juce::PluginDescription> types;
        format->findAllTypesForFile (types, identifier);
        if (types.isEmpty())
            throw Failure { formatName + " found no plug-in at " + identifier };

        juce::String error;
        auto instance = formats.createPluginInstance (*types[0], rate, block, error);
        if (instance == nullptr)
            throw Failure { "could not instantiate: " + error };
        return instance;
    }
    throw Failure { "unknown format " + formatName };
}

juce::Array<juce::AudioProcessorParameter*> pluginParameters (juce::AudioPluginInstance& p)
{
    // The framework's VST3 wrapper adds a host bypass switch of its own; it is not one of the
    // plug-in's parameters.
    juce::Array<juce::AudioProcessorParameter*> result;
    for (auto* param : p.getParameters())
        if (param != p.getBypassParameter())
            result.add (param);
    return result;
}

int run (const juce::StringArray& args)
{
    const auto formatName = argument (args, "--format");
    const auto identifier = argument (args, "--plugin");
    const auto searchPath = argument (args, "--search-path");
    const auto inputPath = argument (args, "--input");
    const auto outputPath = argument (args, "--output");
    const int expectedLatency = argument (args, "--expect-latency", "-1").getIntValue();
    juce::Array<int> blocks;
    for (const auto& b : juce::StringArray::fromTokens (argument (args, "--blocks", "512"), ",", ""))
        blocks.add (juce::jmax (1, b.getIntValue()));
    int maxBlock = 1;
    for (int b : blocks)
        maxBlock = juce::jmax (maxBlock, b);

    juce::AudioFormatManager audioFormats;
    audioFormats.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader (audioFormats.createReaderFor (juce::File (inputPath)));
    check (reader != nullptr && reader->numChannels == 2, "read stereo input " + inputPath);
    const double rate = reader->sampleRate;
    const int length = (int) reader->lengthInSamples;
    juce::AudioBuffer<float> input (2, length);
    reader->read (&input, 0, length, 0, true, true);

    juce::AudioPluginFormatManager formats;
    formats.addFormat (new juce::VST3PluginFormat());
    formats.addFormat (new juce::LV2PluginFormat());

    auto plugin = load (formats, formatName, identifier, searchPath, rate, maxBlock);
    check (plugin->getName() == "ORVEX", "loaded " + formatName + " plug-in named " + plugin->getName());

    const auto params = pluginParameters (*plugin);
    check (params.size() == 46, "host sees " + juce::String (params.size()) + " parameters");

    juce::AudioProcessor::BusesLayout layout;
    layout.inputBuses.add (juce::AudioChannelSet::stereo());
    layout.outputBuses.add (juce::AudioChannelSet::stereo());
    check (plugin->setBusesLayout (layout), "stereo in, stereo out accepted");

    plugin->setRateAndBufferSizeDetails (rate, maxBlock);
    plugin->prepareToPlay (rate, maxBlock);
    juce::MessageManager::getInstance()->runDispatchLoopUntil (50); // latency updates arrive as messages
    // VST3 answers right after preparation; LV2 reports through its latency port, which a
    // host reads after running the plug-in, so both are checked after the first block.
    if (formatName == "VST3")
        check (expectedLatency < 0 || plugin->getLatencySamples() == expectedLatency,
               "latency " + juce::String (plugin->getLatencySamples()) + " reported after preparation");

    juce::AudioBuffer<float> output (2, length);
    juce::AudioBuffer<float> block (2, maxBlock);
    juce::MidiBuffer midi;
    for (int pos = 0, index = 0; pos < length; ++index)
    {
        // Every block has its pattern size, the last one padded with silence, as the renderer
        // does: the stereo image's balance correction moves once per block, so both must see
        // the same blocks.
        const int n = blocks[index % blocks.size()];
        const int available = juce::jmin (n, length - pos);
        juce::AudioBuffer<float> view (block.getArrayOfWritePointers(), 2, 0, n);
        view.clear();
        view.copyFrom (0, 0, input, 0, pos, available);
        view.copyFrom (1, 0, input, 1, pos, available);
        midi.clear();
        plugin->processBlock (view, midi);
        output.copyFrom (0, pos, view, 0, 0, available);
        output.copyFrom (1, pos, view, 1, 0, available);
        pos += available;

        if (index == 0)
            check (expectedLatency < 0 || plugin->getLatencySamples() == expectedLatency,
                   "latency " + juce::String (plugin->getLatencySamples()) + " reported after the first block");
    }
    check (true, "processed " + juce::String (length) + " samples in blocks of " + argument (args, "--blocks", "512"));

    {
        juce::WavAudioFormat wav;
        juce::File out (outputPath);
        out.deleteFile();
        std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (new juce::FileOutputStream (out), rate, 2, 32, {}, 0));
        check (writer != nullptr && writer->writeFromAudioSampleBuffer (output, 0, length), "wrote " + outputPath);
    }

    // State through the host API: change every parameter, save, restore into a new instance.
    // Range ends are exact for every kind of parameter.
    for (int i = 0; i < params.size(); ++i)
        params[i]->setValueNotifyingHost (params[i]->getDefaultValue() > 0.5f ? 0.0f : 1.0f);

    // LV2 parameters are control ports the host writes at the next run, as a DAW does all
    // the time; the state saved after that run holds the new values.
    juce::AudioBuffer<float> silence (2, maxBlock);
    silence.clear();
    plugin->processBlock (silence, midi);
    plugin->releaseResources();
    juce::MessageManager::getInstance()->runDispatchLoopUntil (50);

    juce::MemoryBlock state;
    plugin->getStateInformation (state);
    check (state.getSize() > 0, "host saved " + juce::String ((int) state.getSize()) + " bytes of state");

    // The new instance is running when the project is restored, as in a session reload.
    auto restored = load (formats, formatName, identifier, searchPath, rate, maxBlock);
    restored->setBusesLayout (layout);
    restored->prepareToPlay (rate, maxBlock);
    restored->setStateInformation (state.getData(), (int) state.getSize());
    silence.clear();
    restored->processBlock (silence, midi);
    juce::MessageManager::getInstance()->runDispatchLoopUntil (50);

    const auto restoredParams = pluginParameters (*restored);
    int mismatches = 0;
    for (auto* original : params)
    {
        const auto name = original->getName (64);
        juce::AudioProcessorParameter* match = nullptr;
        for (auto* candidate : restoredParams)
            if (candidate->getName (64) == name)
                match = candidate;

        if (match == nullptr || std::abs (original->getValue() - match->getValue()) > 1e-6f)
        {
            std::cout << "  mismatch " << name << ": " << original->getValue() << " vs "
                      << (match != nullptr ? match->getValue() : -1.0f) << std::endl;
            ++mismatches;
        }
    }
    restored->releaseResources();
    check (mismatches == 0, "all parameters survive a state round trip through the host");
    return 0;
}
} // namespace

int main (int argc, char* argv[])
{
    juce::ScopedJuceInitialiser_GUI juceInit;
    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add (argv[i]);

    try
    {
        return run (args);
    }
    catch (const Failure& f)
    {
        std::cout << "FAILED: " << f.message << std::endl;
        return 1;
    }
}
