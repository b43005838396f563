// orvex-render: runs the ORVEX processor offline over an audio file (or the built-in demo).

#include "DemoPhrase.h"
#include "VarelleProcessor.h"

#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_events/juce_events.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>

namespace
{
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;

struct Failure
{
    juce::String message;
};

struct Options
{
    std::vector<std::pair<juce::String, float>> sets;
    std::optional<int> latencyMode;
    std::vector<int> blockPattern { 512 };
    double demoRate = 44100.0;
    bool rateGiven = false;
    bool align = true;
    bool listParams = false;
    bool listPresets = false;
    bool printLatency = false;
    bool quiet = false;
    bool help = false;
    juce::String input, output, report;
    juce::String preset, loadState, saveState;
    juce::String stemsDir, midiFile;
    int midiChannel = 1;
    std::vector<int> harmonyVoices;
    bool harmonySolo = false;
    bool doubler = false;
};

/** What the analysis saw in one frame, for --report. */
struct ReportFrame
{
    int index;
    int engine;
    std::vector<int> notes;
};

/** The chord and key of one block, for --report; t is the time of the latest frame. */
struct ReportBlock
{
    double t;
    varelle::ChordResult chord;
    int keyRoot, keyQuality;
};

/** What a render collects besides the main output. */
struct RenderTaps
{
    std::array<juce::AudioBuffer<float>, VarelleProcessor::kNumStems> stems;
    bool stemsWanted = false;
    juce::MidiMessageSequence midi;   // time stamps in seconds of input time
    bool midiWanted = false;
};

const char* const helpText =
    "usage: orvex-render [options] [INPUT [OUTPUT]]\n"
    "\n"
    "Runs the ORVEX processor over an audio file (WAV, AIFF or FLAC; mono or stereo) and\n"
    "writes a stereo 32-bit float WAV. Without INPUT it renders the built-in demo phrase to\n"
    "orvex-demo.wav. Without OUTPUT it writes INPUT's name with \"-orvex.wav\" appended.\n"
    "\n"
    "options:\n"
    "  -o, --output FILE    where to write the result (also names the demo's output)\n"
    "  --set ID=VALUE       set a parameter to a plain value (repeatable; see --list-params)\n"
    "  --latency-mode M     0 STUDIO (4096), 1 LIVE (1024), 2 MELODY (512)\n"
    "  --block N            block size given to the processor (default 512)\n"
    "  --blocks A,B,...     cycle through these block sizes (prepared for the largest)\n"
    "  --rate HZ            sample rate of the demo phrase (default 44100)\n"
    "  --no-align           keep the processor's latency at the start of the output\n"
    "  --list-params        print ID, name, min, max and default of every parameter, then exit\n"
    "  --preset NAME|FILE   load a preset (a name from the presets folder, or a preset file) before --set\n"
    "  --load-state FILE    restore a state block written by --save-state (after --preset, before --set)\n"
    "  --save-state FILE    write the state block once all settings are applied\n"
    "  --list-presets       print the names of the presets in the presets folder, then exit\n"
    "  --print-latency      print the latency after preparation and after the first block, then exit\n"
    "  --report FILE.json   write the analysis as the processor saw it, with chords and keys (see README)\n"
    "  --stems DIR          also write DIR/LOW.wav, MID.wav, HIGH.wav (the zone buses as mixed, after\n"
    "                       their effects) and DIR/REST.wav (the other keys), aligned like the output\n"
    "  --midi FILE.mid      turn the MIDI note output on and write the notes it sends, aligned\n"
    "  --midi-channel N     MIDI channel of those notes, 1 to 16 (default 1)\n"
    "  --harmony V[,V...]   harmony voices 1 to 4 on, following the lowest note (default intervals:\n"
    "                       1 a third up, 2 a fifth up, 3 an octave up, 4 a third down)\n"
    "  --harmony-solo       output the harmony voices alone\n"
    "  --doubler            add the doubler's two detuned copies to every harmony voice\n"
    "  --quiet              no progress bar\n"
    "  --help               this text\n"
    "\n"
    "exit status: 0 on success, 2 on bad arguments, unreadable input or an unreadable preset or\n"
    "state file (no output is written).\n";

int levenshtein (const juce::String& a, const juce::String& b)
{
    std::vector<int> prev ((size_t) b.length() + 1), cur ((size_t) b.length() + 1);
    for (int j = 0; j <= b.length(); ++j)
        prev[(size_t) j] = j;
    for (int i = 1; i <= a.length(); ++i)
    {
        cur[0] = i;
        for (int j = 1; j <= b.length(); ++j)
        {
            const int cost = a[i - 1] == b[j - 1] ? 0 : 1;
            cur[(size_t) j] = std::min ({ prev[(size_t) j] + 1, cur[(size_t) j - 1] + 1, prev[(size_t) j - 1] + cost });
        }
        std::swap (prev, cur);
    }
    return prev[(size_t) b.length()];
}

juce::String nearestIDs (juce::AudioProcessor& proc, const juce::String& id)
{
    std::vector<std::pair<int, juce::String>> scored;
    for (auto* param : proc.getParameters())
        if (auto* ranged = dynamic_cast<juce::RangedAudioParameter*> (param))
        {
            const auto& candidate = ranged->getParameterID();
            int score = levenshtein (id.toLowerCase(), candidate);
            if (candidate.contains (id.toLowerCase()) && id.isNotEmpty())
                score = juce::jmin (score, 2);
            scored.emplace_back (score, candidate);
        }
    std::stable_sort (scored.begin(), scored.end(), [] (const auto& x, const auto& y) { return x.first < y.first; });

    juce::StringArray names;
    for (size_t i = 0; i < scored.size() && names.size() < 3; ++i)
        names.add (scored[i].second);
    return names.joinIntoString (", ");
}

bool parseDouble (const juce::String& text, double& value)
{
    const auto trimmed = text.trim();
    if (trimmed.isEmpty())
        return false;
    const auto utf8 = trimmed.toStdString();
    char* end = nullptr;
    errno = 0;
    value = std::strtod (utf8.c_str(), &end);
    return errno == 0 && end != nullptr && *end == '\0' && std::isfinite (value);
}

bool parseInt (const juce::String& text, int& value, int min, int max)
{
    double v = 0.0;
    if (! parseDouble (text, v) || v != std::floor (v) || v < min || v > max)
        return false;
    value = (int) v;
    return true;
}

Options parseArguments (const juce::StringArray& args)
{
    Options o;
    juce::StringArray positional;

    for (int i = 0; i < args.size(); ++i)
    {
        const auto& a = args[i];
        auto needValue = [&] () -> juce::String
        {
            if (i + 1 >= args.size())
                throw Failure { "option " + a + " needs a value" };
            return args[++i];
        };

        if (a == "--help" || a == "-h")               o.help = true;
        else if (a == "--quiet" || a == "-q")         o.quiet = true;
        else if (a == "--no-align")                   o.align = false;
        else if (a == "--list-params")                o.listParams = true;
        else if (a == "--print-latency")              o.printLatency = true;
        else if (a == "--list-presets")               o.listPresets = true;
        else if (a == "--preset")                     o.preset = needValue();
        else if (a == "--load-state")                 o.loadState = needValue();
        else if (a == "--save-state")                 o.saveState = needValue();
        else if (a == "--set")
        {
            const auto assignment = needValue();
            const int eq = assignment.indexOfChar ('=');
            if (eq <= 0)
                throw Failure { "--set expects ID=VALUE, got '" + assignment + "'" };
            double v = 0.0;
            if (! parseDouble (assignment.substring (eq + 1), v))
                throw Failure { "malformed value in --set " + assignment + " (expected a number)" };
            o.sets.emplace_back (assignment.substring (0, eq).trim(), (float) v);
        }
        else if (a == "--report")
            o.report = needValue();
        else if (a == "--stems")
            o.stemsDir = needValue();
        else if (a == "--midi")
            o.midiFile = needValue();
        else if (a == "--midi-channel")
        {
            if (! parseInt (needValue(), o.midiChannel, 1, 16))
                throw Failure { "--midi-channel expects a channel from 1 to 16" };
        }
        else if (a == "--harmony")
        {
            o.harmonyVoices.clear();
            for (const auto& item : juce::StringArray::fromTokens (needValue(), ",", ""))
            {
                int v = 0;
                if (! parseInt (item, v, 1, 4))
                    throw Failure { "--harmony expects voice numbers from 1 to 4, e.g. 1,3" };
                o.harmonyVoices.push_back (v);
            }
        }
        else if (a == "--harmony-solo")
            o.harmonySolo = true;
        else if (a == "--doubler")
            o.doubler = true;
        else if (a == "--output" || a == "-o")
            o.output = needValue();
        else if (a == "--latency-mode")
        {
            int m = 0;
            if (! parseInt (needValue(), m, 0, 2))
                throw Failure { "--latency-mode expects 0, 1 or 2" };
            o.latencyMode = m;
        }
        else if (a == "--block" || a == "--blocks")
        {
            const auto list = juce::StringArray::fromTokens (needValue(), ",", "");
            o.blockPattern.clear();
            for (const auto& item : list)
            {
                int b = 0;
                if (! parseInt (item, b, 1, 1 << 16))
                    throw Failure { a + " expects block sizes from 1 to 65536" };
                o.blockPattern.push_back (b);
            }
            if (o.blockPattern.empty())
                throw Failure { a + " expects a block size" };
        }
        else if (a == "--rate")
        {
            double r = 0.0;
            if (! parseDouble (needValue(), r) || r < 8000.0 || r > 384000.0)
                throw Failure { "--rate expects a sample rate from 8000 to 384000 Hz" };
            o.demoRate = r;
            o.rateGiven = true;
        }
        else if (a.startsWith ("-") && a.length() > 1)
            throw Failure { "unknown option " + a + " (see --help)" };
        else
            positional.add (a);
    }

    if (positional.size() > 2)
        throw Failure { "too many arguments (expected at most INPUT and OUTPUT)" };
    if (positional.size() > 0) o.input = positional[0];
    if (positional.size() > 1)
    {
        if (o.output.isNotEmpty())
            throw Failure { "OUTPUT given twice (positional and --output)" };
        o.output = positional[1];
    }
    if (o.rateGiven && o.input.isNotEmpty())
        throw Failure { "--rate applies to the demo phrase only; the input file sets the rate" };
    return o;
}

juce::String formatNumber (float v)
{
    juce::String s (v, 6);
    if (s.containsChar ('.'))
    {
        while (s.endsWithChar ('0'))
            s = s.dropLastCharacters (1);
        if (s.endsWithChar ('.'))
            s = s.dropLastCharacters (1);
    }
    return s;
}

void listParameters (VarelleProcessor& proc)
{
    for (auto* param : proc.getParameters())
        if (auto* ranged = dynamic_cast<juce::RangedAudioParameter*> (param))
        {
            const auto& range = ranged->getNormalisableRange();
            std::cout << ranged->getParameterID() << '\t' << ranged->getName (128) << '\t'
                      << formatNumber (range.start) << '\t' << formatNumber (range.end) << '\t'
                      << formatNumber (ranged->convertFrom0to1 (ranged->getDefaultValue())) << '\n';
        }
}

// A state block is a few kilobytes; anything much larger is not one.
constexpr juce::int64 kMaxStateFileBytes = 16 * 1024 * 1024;

/** Reads a preset or state file and checks that the processor would take it. The processor
    ignores a block it cannot use without saying so, so the same test is made here first: a
    block safe to parse (wrapper, valid UTF-8, bounded markup) whose text parses as XML. */
juce::MemoryBlock readStateBlock (const juce::File& file, const juce::String& what)
{
    const auto path = file.getFullPathName();
    if (file.isDirectory())
        throw Failure { "cannot read " + what + " '" + path + "': it is a folder" };
    if (! file.existsAsFile())
        throw Failure { "cannot read " + what + " '" + path + "': no such file" };
    if (file.getSize() > kMaxStateFileBytes)
        throw Failure { "cannot read " + what + " '" + path + "': too large for a state block" };

    juce::MemoryBlock block;
    if (! file.loadFileAsData (block))
        throw Failure { "cannot read " + what + " '" + path + "': read error" };
    if (block.getSize() > (size_t) std::numeric_limits<int>::max()
        || ! VarelleProcessor::isReadableStateBlock (block.getData(), (int) block.getSize())
        || juce::AudioProcessor::getXmlFromBinary (block.getData(), (int) block.getSize()) == nullptr)
        throw Failure { "cannot read " + what + " '" + path + "': not an ORVEX state block" };
    return block;
}

/** --preset: a name from the presets folder first, then a path to a file. */
void loadPresetArgument (VarelleProcessor& proc, const juce::String& nameOrFile)
{
    const auto folder = proc.getPresetsDirectory();
    juce::File file;
    juce::String name;

    if (nameOrFile.isNotEmpty() && ! nameOrFile.containsChar ('/'))
    {
        // Built by hand: the framework would read a leading "~" as a home folder.
        const juce::File named (folder.getFullPathName() + "/" + nameOrFile + ".xml");
        if (named.existsAsFile())
        {
            file = named;
            name = nameOrFile;
        }
    }

    if (file == juce::File())
    {
        file = juce::File::getCurrentWorkingDirectory().getChildFile (nameOrFile);
        name = file.getFileNameWithoutExtension();
        if (nameOrFile.isEmpty() || ! file.existsAsFile())
            throw Failure { "no preset '" + nameOrFile + "' in " + folder.getFullPathName() + " and no such file" };
    }

    readStateBlock (file, "preset");
    proc.loadPresetFile (file, name);
}

/** Writes the bytes to a temporary file next to the target; moving it into place is left to
    the caller, once everything else has been written. */
std::unique_ptr<juce::TemporaryFile> writeTemporary (const juce::File& target, const juce::MemoryBlock& bytes,
                                                     const juce::String& what)
{
    auto temp = std::make_unique<juce::TemporaryFile> (target);
    {
        juce::FileOutputStream stream (temp->getFile());
        const bool written = stream.openedOk() && stream.write (bytes.getData(), bytes.getSize());
        stream.flush();
        if (! written || stream.getStatus().failed())
            throw Failure { "cannot write " + what + " '" + target.getFullPathName() + "'" };
    }
    // A short write of the stream's buffer shows only in the size on disk.
    if (temp->getFile().getSize() != (juce::int64) bytes.getSize())
        throw Failure { "cannot write " + what + " '" + target.getFullPathName() + "'" };
    return temp;
}

void applySets (VarelleProcessor& proc, const Options& o)
{
    for (const auto& [id, value] : o.sets)
    {
        if (proc.valueTreeState.getParameter (id) == nullptr)
            throw Failure { "unknown parameter '" + id + "'; nearest: " + nearestIDs (proc, id) };
        proc.setParameterPlain (id, value);
    }
}

struct ProgressBar
{
    bool enabled = false;
    int lastShown = -1;

    void show (juce::int64 done, juce::int64 total)
    {
        if (! enabled || total <= 0)
            return;
        const int percent = (int) (100 * done / total);
        if (percent == lastShown)
            return;
        lastShown = percent;
        const int width = 40, filled = width * percent / 100;
        std::cerr << "\r[" << std::string ((size_t) filled, '#') << std::string ((size_t) (width - filled), ' ')
                  << "] " << percent << "%" << std::flush;
    }

    void finish()
    {
        if (enabled && lastShown >= 0)
            std::cerr << "\n";
    }
};

/** Runs the processor over the whole input; returns the stereo output, aligned or raw. */
juce::AudioBuffer<float> render (VarelleProcessor& proc, const juce::AudioBuffer<float>& input,
                                 double sampleRate, const Options& o, bool showProgress, RenderTaps& taps)
{
    const int inChannels = input.getNumChannels();
    const int length = input.getNumSamples();
    const int maxBlock = *std::max_element (o.blockPattern.begin(), o.blockPattern.end());

    juce::AudioProcessor::BusesLayout layout;
    layout.inputBuses.add (inChannels == 1 ? juce::AudioChannelSet::mono() : juce::AudioChannelSet::stereo());
    layout.outputBuses.add (juce::AudioChannelSet::stereo());
    if (! proc.setBusesLayout (layout))
        throw Failure { "the processor refused a " + juce::String (inChannels) + "-channel input" };

    proc.setNonRealtime (true);
    proc.captureStems = taps.stemsWanted;
    proc.setRateAndBufferSizeDetails (sampleRate, maxBlock);
    proc.prepareToPlay (sampleRate, maxBlock);

    juce::AudioBuffer<float> block (2, maxBlock);
    juce::MidiBuffer midi;
    for (auto& stem : taps.stems)
    {
        stem.setSize (taps.stemsWanted ? 2 : 0, taps.stemsWanted ? length : 0);
        stem.clear();
    }

    // The latency that counts is the one in force once processing runs: the first block may
    // still change it (engine selection), so alignment is decided after that block.
    int latency = proc.getLatencySamples();
    bool latencyKnown = ! o.align;
    juce::int64 needed = length;

    juce::AudioBuffer<float> output (2, length);
    output.clear();
    juce::int64 consumed = 0, produced = 0;
    size_t patternIndex = 0;

    ProgressBar progress { showProgress };

    while (produced < needed + (o.align ? latency : 0))
    {
        const int n = o.blockPattern[patternIndex];
        patternIndex = (patternIndex + 1) % o.blockPattern.size();

        block.clear();
        for (int ch = 0; ch < inChannels; ++ch)
        {
            const int available = (int) juce::jlimit<juce::int64> (0, n, length - consumed);
            if (available > 0)
                block.copyFrom (ch, 0, input, ch, (int) consumed, available);
        }
        consumed += n;

        juce::AudioBuffer<float> view (block.getArrayOfWritePointers(), 2, 0, n);
        proc.processBlock (view, midi);

        if (! latencyKnown)
        {
            latency = proc.getLatencySamples();
            latencyKnown = true;
        }

        // Output sample k of this block is overall sample produced + k; aligned output drops
        // the first `latency` of them.
        const juce::int64 offset = o.align ? latency : 0;
        for (int k = 0; k < n; ++k)
        {
            const juce::int64 target = produced + k - offset;
            if (target < 0 || target >= length)
                continue;
            output.setSample (0, (int) target, view.getSample (0, k));
            output.setSample (1, (int) target, view.getSample (1, k));
            if (taps.stemsWanted)
                for (int s = 0; s < VarelleProcessor::kNumStems; ++s)
                    for (int ch = 0; ch < 2; ++ch)
                        taps.stems[(size_t) s].setSample (ch, (int) target, proc.stems[(size_t) s].getSample (ch, k));
        }

        if (taps.midiWanted)
            for (const auto meta : midi)
            {
                const juce::int64 target = produced + meta.samplePosition - offset;
                if (target >= 0 && target < length)
                    taps.midi.addEvent (meta.getMessage(), (double) target / sampleRate);
            }
        midi.clear();
        produced += n;
        progress.show (juce::jmin (produced, needed), needed);
    }

    progress.finish();
    proc.releaseResources();
    return output;
}

juce::AudioBuffer<float> readInput (const juce::File& file, double& sampleRate)
{
    if (! file.existsAsFile())
        throw Failure { "cannot read input '" + file.getFullPathName() + "': no such file" };

    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (file));
    if (reader == nullptr)
        throw Failure { "cannot read input '" + file.getFullPathName() + "': not a WAV, AIFF or FLAC file" };

    const int channels = (int) reader->numChannels;
    if (channels < 1 || channels > 2)
        throw Failure { "unsupported channel count " + juce::String (channels) + " in '" + file.getFileName() + "' (mono or stereo only)" };
    if (reader->lengthInSamples > (juce::int64) std::numeric_limits<int>::max() / 2)
        throw Failure { "input '" + file.getFileName() + "' is too long" };
    if (reader->sampleRate < 8000.0 || reader->sampleRate > 384000.0)
        throw Failure { "unsupported sample rate " + juce::String (reader->sampleRate) + " Hz in '" + file.getFileName() + "'" };

    sampleRate = reader->sampleRate;
    juce::AudioBuffer<float> buffer (channels, (int) reader->lengthInSamples);
    if (! reader->read (&buffer, 0, (int) reader->lengthInSamples, 0, true, channels > 1))
        throw Failure { "cannot read input '" + file.getFullPathName() + "': read error" };
    return buffer;
}

juce::String chordJson (const varelle::ChordResult& c)
{
    if (! c.isChord())
        return "null";
    const auto name = juce::String (varelle::pitchClassName (c.root)) + " " + varelle::ChordDetector::typeName (c.type);
    return "{\"root\": " + juce::String (c.root) + ", \"type\": " + juce::String (c.type) + ", \"name\": \""
           + name + "\", \"score\": " + juce::String (c.score, 4) + "}";
}

juce::String keyJson (int root, int quality)
{
    if (root < 0 || root > 11)
        return "null";
    const auto name = juce::String (varelle::pitchClassName (root)) + (quality == 1 ? " minor" : " major");
    return "{\"root\": " + juce::String (root) + ", \"quality\": " + juce::String (quality == 1 ? 1 : 0)
           + ", \"name\": \"" + name + "\"}";
}

void writeReport (const juce::File& file, const std::vector<ReportFrame>& frames, const std::vector<ReportBlock>& blocks,
                  double sampleRate, int fftSize, int latency)
{
    const int hop = fftSize / 4;
    juce::String json;
    json << "{\"sampleRate\": " << sampleRate << ", \"fftSize\": " << fftSize << ", \"hop\": " << hop
         << ", \"latency\": " << latency << ", \"frames\": [";
    bool first = true;
    for (const auto& f : frames)
    {
        // The notes describe the window whose centre lies N / 2 after its first sample.
        const int describedFrame = f.index;
        if (describedFrame < 0)
            continue;
        const double t = ((double) describedFrame * hop + fftSize / 2) / sampleRate;
        json << (first ? "\n" : ",\n") << "  {\"t\": " << juce::String (t, 6) << ", \"notes\": [";
        for (size_t i = 0; i < f.notes.size(); ++i)
            json << (i ? ", " : "") << f.notes[i];
        json << "], \"engine\": " << f.engine << "}";
        first = false;
    }
    json << "\n], \"blocks\": [";
    first = true;
    for (const auto& b : blocks)
    {
        json << (first ? "\n" : ",\n") << "  {\"t\": " << juce::String (b.t, 6) << ", \"chord\": " << chordJson (b.chord)
             << ", \"key\": " << keyJson (b.keyRoot, b.keyQuality) << "}";
        first = false;
    }
    json << "\n]}\n";

    juce::TemporaryFile temp (file);
    if (! temp.getFile().replaceWithText (json, false, false, "\n") || ! temp.overwriteTargetFileWithTemporary())
        throw Failure { "cannot write report '" + file.getFullPathName() + "'" };
}

/** A standard MIDI file with one tick per millisecond; notes still on at the end are ended. */
void writeMidi (const juce::File& file, juce::MidiMessageSequence events, double endSeconds)
{
    juce::MidiMessageSequence track;
    bool on[128][16] {};
    for (const auto* holder : events)
    {
        auto message = holder->message;
        const int note = message.getNoteNumber(), ch = message.getChannel() - 1;
        if (message.isNoteOn())
            on[note][ch] = true;
        else if (message.isNoteOff())
            on[note][ch] = false;
        message.setTimeStamp (std::round (message.getTimeStamp() * 1000.0));
        track.addEvent (message);
    }
    for (int note = 0; note < 128; ++note)
        for (int ch = 0; ch < 16; ++ch)
            if (on[note][ch])
                track.addEvent (juce::MidiMessage::noteOff (ch + 1, note).withTimeStamp (std::round (endSeconds * 1000.0)));
    track.updateMatchedPairs();

    juce::MidiFile midiFile;
    midiFile.setSmpteTimeFormat (25, 40);   // 25 frames of 40 ticks: one tick per millisecond
    midiFile.addTrack (track);

    juce::TemporaryFile temp (file);
    {
        juce::FileOutputStream stream (temp.getFile());
        if (! stream.openedOk() || ! midiFile.writeTo (stream))
            throw Failure { "cannot write MIDI file '" + file.getFullPathName() + "'" };
    }
    if (! temp.overwriteTargetFileWithTemporary())
        throw Failure { "cannot write MIDI file '" + file.getFullPathName() + "'" };
}

void writeOutput (const juce::File& file, const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    // Written next to the target and moved into place, so a failure leaves nothing behind.
    juce::TemporaryFile temp (file);
    {
        std::unique_ptr<juce::FileOutputStream> stream (temp.getFile().createOutputStream());
        if (stream == nullptr || stream->failedToOpen())
            throw Failure { "cannot write output '" + file.getFullPathName() + "'" };

        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer (
            wav.createWriterFor (stream.get(), sampleRate, (unsigned int) buffer.getNumChannels(), 32, {}, 0));
        if (writer == nullptr)
            throw Failure { "cannot write output '" + file.getFullPathName() + "'" };
        stream.release(); // the writer owns the stream now

        if (! writer->writeFromAudioSampleBuffer (buffer, 0, buffer.getNumSamples()))
            throw Failure { "cannot write output '" + file.getFullPathName() + "'" };
    }
    if (! temp.overwriteTargetFileWithTemporary())
        throw Failure { "cannot write output '" + file.getFullPathName() + "'" };
}

int run (const juce::StringArray& args)
{
    const Options o = parseArguments (args);
    if (o.help)
    {
        std::cout << helpText;
        return kExitOk;
    }

    VarelleProcessor proc;

    if (o.listParams)
    {
        listParameters (proc);
        return kExitOk;
    }

    if (o.listPresets)
    {
        for (const auto& name : proc.getPresetList())
            std::cout << name << '\n';
        return kExitOk;
    }

    // Preset, then saved state, then the single settings on top.
    if (o.preset.isNotEmpty())
        loadPresetArgument (proc, o.preset);
    if (o.loadState.isNotEmpty())
    {
        const auto block = readStateBlock (juce::File::getCurrentWorkingDirectory().getChildFile (o.loadState), "state");
        proc.setStateInformation (block.getData(), (int) block.getSize());
    }

    applySets (proc, o);
    if (o.latencyMode)
        proc.latencyMode = *o.latencyMode;

    // The state as configured, before any audio runs.
    juce::MemoryBlock stateBlock;
    const auto stateFile = o.saveState.isNotEmpty() ? juce::File::getCurrentWorkingDirectory().getChildFile (o.saveState)
                                                    : juce::File();
    if (stateFile != juce::File())
        proc.getStateInformation (stateBlock);

    if (o.printLatency)
    {
        const int block = *std::max_element (o.blockPattern.begin(), o.blockPattern.end());
        proc.prepareToPlay (o.demoRate, block);
        std::cout << "latency " << proc.getLatencySamples() << "\n";
        juce::AudioBuffer<float> silence (2, block);
        silence.clear();
        juce::MidiBuffer midi;
        proc.processBlock (silence, midi);
        std::cout << "latency " << proc.getLatencySamples() << "\n";
        if (stateFile != juce::File() && ! writeTemporary (stateFile, stateBlock, "state")->overwriteTargetFileWithTemporary())
            throw Failure { "cannot write state '" + stateFile.getFullPathName() + "'" };
        return kExitOk;
    }

    double sampleRate = o.demoRate;
    juce::AudioBuffer<float> input;
    juce::File outFile;

    if (o.input.isEmpty())
    {
        input = varelle::renderDemoPhrase (sampleRate);
        outFile = juce::File::getCurrentWorkingDirectory().getChildFile (o.output.isNotEmpty() ? o.output : "orvex-demo.wav");
    }
    else
    {
        const auto inFile = juce::File::getCurrentWorkingDirectory().getChildFile (o.input);
        outFile = o.output.isNotEmpty() ? juce::File::getCurrentWorkingDirectory().getChildFile (o.output)
                                        : inFile.getSiblingFile (inFile.getFileNameWithoutExtension() + "-orvex.wav");
        if (outFile == inFile || (outFile.exists() && inFile.exists()
                                  && outFile.getLinkedTarget() == inFile.getLinkedTarget()))
            throw Failure { "refusing to overwrite the input file '" + inFile.getFullPathName() + "'" };
        if (stateFile != juce::File() && stateFile.exists() && stateFile.getLinkedTarget() == inFile.getLinkedTarget())
            throw Failure { "refusing to overwrite the input file '" + inFile.getFullPathName() + "'" };
        input = readInput (inFile, sampleRate);
    }

    if (stateFile != juce::File() && stateFile.getLinkedTarget() == outFile.getLinkedTarget())
        throw Failure { "--save-state and the output name the same file '" + outFile.getFullPathName() + "'" };

    // Written before rendering so that an unwritable place fails early; moved into place last.
    std::unique_ptr<juce::TemporaryFile> stateTemp;
    if (stateFile != juce::File())
        stateTemp = writeTemporary (stateFile, stateBlock, "state");

    std::vector<ReportFrame> frames;
    std::vector<ReportBlock> blocks;
    if (o.report.isNotEmpty())
    {
        frames.reserve ((size_t) (input.getNumSamples() / 128 + 64));
        proc.analysisObserver = [&frames] (const varelle::SeparationFrame& frame, int index, int engine)
        {
            ReportFrame f { index, engine, {} };
            for (const auto& slot : frame.notes)
                if (slot.active)
                    f.notes.push_back (slot.midiNote);
            frames.push_back (std::move (f));
        };
        // A block's chord and key come from the notes of the latest frame: they carry its time.
        proc.blockObserver = [&frames, &blocks, &proc, sampleRate] (const varelle::ChordResult& chord, int root, int quality)
        {
            if (frames.empty())
                return;
            const auto& f = frames.back();
            const int hop = proc.getFFTSize() / 4;
            blocks.push_back ({ ((double) f.index * hop + proc.getFFTSize() / 2) / sampleRate, chord, root, quality });
        };
    }

    if (! o.harmonyVoices.empty())
    {
        // The time-domain voices: the spectral ones need analysis channels nothing fills.
        proc.harmony.harmonyEnabled = true;
        proc.harmony.spectralHarmony = false;
        proc.harmony.harmonySolo = o.harmonySolo;
        proc.harmony.doublerEnabled = o.doubler;
        for (int v : o.harmonyVoices)
            proc.harmony.harmonyVoices[(size_t) (v - 1)].enabled = true;
    }
    else if (o.harmonySolo || o.doubler)
        throw Failure { "--harmony-solo and --doubler need voices: --harmony 1,2" };

    RenderTaps taps;
    taps.stemsWanted = o.stemsDir.isNotEmpty();
    taps.midiWanted = o.midiFile.isNotEmpty();
    if (taps.midiWanted)
    {
        proc.midiOutput.midiOutputEnabled = true;
        proc.midiOutput.midiChannel = o.midiChannel;
    }

    const auto cwd = juce::File::getCurrentWorkingDirectory();
    const auto stemsDir = taps.stemsWanted ? cwd.getChildFile (o.stemsDir) : juce::File();
    if (taps.stemsWanted && ! stemsDir.isDirectory() && ! stemsDir.createDirectory())
        throw Failure { "cannot create the stems folder '" + stemsDir.getFullPathName() + "'" };

    const bool showProgress = ! o.quiet && input.getNumSamples() > (int) sampleRate;
    const auto output = render (proc, input, sampleRate, o, showProgress, taps);
    writeOutput (outFile, output, sampleRate);

    if (taps.stemsWanted)
    {
        const char* const names[VarelleProcessor::kNumStems] = { "LOW", "MID", "HIGH", "REST" };
        for (int s = 0; s < VarelleProcessor::kNumStems; ++s)
            writeOutput (stemsDir.getChildFile (juce::String (names[s]) + ".wav"), taps.stems[(size_t) s], sampleRate);
    }

    if (taps.midiWanted)
        writeMidi (cwd.getChildFile (o.midiFile), taps.midi, (double) input.getNumSamples() / sampleRate);

    if (o.report.isNotEmpty())
    {
        // Frames of the zero padding that aligns the output describe no input.
        const int fftSize = proc.getFFTSize();
        const int hop = fftSize / 4;
        frames.erase (std::remove_if (frames.begin(), frames.end(), [&] (const ReportFrame& f)
                      { return (double) f.index * hop + fftSize / 2 >= input.getNumSamples() + (f.engine == 2 ? 5 * hop : 0); }),
                      frames.end());
        writeReport (juce::File::getCurrentWorkingDirectory().getChildFile (o.report), frames, blocks, sampleRate,
                     fftSize, proc.getLatencySamples());
    }

    if (stateTemp != nullptr && ! stateTemp->overwriteTargetFileWithTemporary())
        throw Failure { "cannot write state '" + stateFile.getFullPathName() + "'" };

    if (! o.quiet)
        std::cerr << "wrote " << outFile.getFullPathName() << " (" << output.getNumSamples() << " samples, "
                  << sampleRate << " Hz, stereo)\n";
    return kExitOk;
}
} // namespace

int main (int argc, char* argv[])
{
    juce::ScopedJuceInitialiser_GUI juceInit;

    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add (juce::String::fromUTF8 (argv[i]));

    try
    {
        return run (args);
    }
    catch (const Failure& f)
    {
        std::cerr << "orvex-render: " << f.message << "\n";
        return kExitUsage;
    }
}
