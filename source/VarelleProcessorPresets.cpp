#include "VarelleProcessor.h"

#include <algorithm>

// Presets are state blocks (see VarelleProcessorState.cpp), one file per preset, named after
// the preset with the extension ".xml", in the per-user folder VANTORIX/ORVEX/Presets. Every
// instance in every host shares the folder; nothing here caches its content.

namespace p = varelle::params;

namespace
{
// A state block is a few kilobytes. A larger "preset" is not one, and reading it whole could
// exhaust memory, so it is treated like any other unreadable file.
constexpr juce::int64 kMaxPresetFileBytes = 16 * 1024 * 1024;

struct FactoryPreset
{
    const char* name;
    std::vector<std::pair<const char*, float>> values;   // plain values, applied in order
};

const FactoryPreset factoryPresets[] = {
    { "Wide Open", { { p::panMode, 1.0f }, { p::panHardness, 0.15f }, { p::panSpread, 0.8f }, { p::stereoMode, 1.0f },
                     { p::wetDryMix, 1.0f } } },
    { "Hard L-R", { { p::panMode, 1.0f }, { p::panHardness, 0.85f }, { p::panSpread, 1.0f }, { p::stereoMode, 1.0f } } },
    { "Dynamic Spread", { { p::panMode, 0.0f }, { p::panHardness, 0.3f }, { p::panGlide, 0.5f }, { p::panSpread, 1.0f } } },
    { "M-S Wide", { { p::panMode, 1.0f }, { p::panHardness, 0.2f }, { p::stereoMode, 0.0f }, { p::stereoWidth, 0.7f } } },
    { "Zone EQ Shape", { { p::panMode, 1.0f }, { p::panHardness, 0.3f }, { p::zoneFxEnabled, 1.0f },
                         { "zone_0_eq_low", 3.0f }, { "zone_0_eq_high", -2.0f },
                         { "zone_2_eq_low", -2.0f }, { "zone_2_eq_high", 4.0f } } },
    { "Zone Delay", { { p::panMode, 1.0f }, { p::panHardness, 0.25f }, { p::zoneFxEnabled, 1.0f },
                      { "zone_2_delay_time", 180.0f }, { "zone_2_delay_feedback", 0.25f }, { "zone_2_delay_mix", 0.3f } } },
    { "Centered", { { p::panMode, 1.0f }, { p::panHardness, 0.0f }, { p::panSpread, 0.0f } } },
};

/** The file of a preset: name + ".xml" directly in the folder. A name that would lead anywhere
    else (one holding a "/", or one starting with "~", which the framework reads as a home
    folder) has no file. */
juce::File presetFileFor (const juce::File& folder, const juce::String& name)
{
    const auto fileName = name + ".xml";
    if (name.isEmpty() || name.containsChar (juce::File::getSeparatorChar()))
        return {};

    const juce::File file (folder.getFullPathName() + juce::File::getSeparatorString() + fileName);
    if (file.getParentDirectory() != folder || file.getFileName() != fileName)
        return {};
    return file;
}

/** Writes the bytes through a temporary file next to the target and moves it into place in one
    step, only when every byte reached the disk. A stream that cannot open, a short write (disk
    full, file size limit) or a failed flush leave an existing target as it was. */
bool writeFileAtomically (const juce::File& target, const juce::MemoryBlock& bytes)
{
    if (target.isDirectory())
        return false;

    // The temporary name is hidden and does not end in ".xml": a save interrupted by a crash
    // must not leave a file that lists as a preset or stops the factory presets being written.
    const auto temporary = target.getParentDirectory().getNonexistentChildFile (
        "." + target.getFileName() + "-" + juce::String::toHexString (juce::Random().nextInt()), ".tmp", false);
    juce::TemporaryFile temp (target, temporary);

    {
        juce::FileOutputStream stream (temp.getFile(), 8192);
        if (! stream.openedOk())
            return false;
        if (! stream.write (bytes.getData(), bytes.getSize()))
            return false;
        stream.flush();
        if (stream.getStatus().failed())
            return false;
    }

    // The stream reports a partial write of its buffer only through the size on disk.
    if (temp.getFile().getSize() != (juce::int64) bytes.getSize())
        return false;

    return temp.overwriteTargetFileWithTemporary();
}
} // namespace

bool VarelleProcessor::isReadableStateBlock (const void* data, int sizeInBytes)
{
    // The framework's wrapper: "VC2!", the text's length, the text (read up to a zero byte).
    if (data == nullptr || sizeInBytes <= 8)
        return false;
    const auto* bytes = static_cast<const unsigned char*> (data);
    const auto length = (int) juce::ByteOrder::littleEndianInt (bytes + 4);
    if (juce::ByteOrder::littleEndianInt (bytes) != 0x21324356 || length <= 0)
        return false;
    const auto* text = bytes + 8;
    const auto* end = text + juce::jmin (sizeInBytes - 8, length);
    end = std::find (text, end, 0);

    // The framework's XML reader is safe only on well-formed input in several respects, each
    // checked here on the raw bytes:
    // - UTF-8 in its shortest form: a lead byte without its continuation bytes makes the
    //   reader step over the terminating zero, and an overlong form (0xC0 0xBC for '<') makes
    //   its string copies write past their buffers;
    // - character references that name a character: a malformed one ("&#x" at the end) makes
    //   it step over the terminating zero, and "&#0;" puts a zero inside its strings;
    // - no document type: it expands declared entities without limit, so an entity that
    //   names itself recurses until the stack overflows;
    // - no processing instruction but the XML declaration in front: inside an element, one
    //   followed by text sends the reader round in a loop for ever ("<a><?x?>b</a>");
    // - bounded markup: it recurses once per nested element, and elements cannot nest deeper
    //   than there are '<'; a state block holds about fifty.
    auto isContinuation = [end] (const unsigned char* c) { return c < end && (*c & 0xC0) == 0x80; };
    auto startsWith = [end] (const unsigned char* c, const char* word)
    {
        for (; *word != 0; ++c, ++word)
            if (c >= end || *c != (unsigned char) *word)
                return false;
        return true;
    };

    const auto* declaration = text;
    while (declaration < end && juce::CharacterFunctions::isWhitespace ((char) *declaration))
        ++declaration;
    if (! startsWith (declaration, "<?xml"))
        declaration = nullptr;

    constexpr int maxMarkup = 1024;
    int markup = 0;

    for (const auto* c = text; c < end;)
    {
        const unsigned char b = *c;

        if (b >= 0x80)
        {
            // Shortest-form UTF-8 without surrogates, up to U+10FFFF.
            const int extra = b >= 0xC2 && b <= 0xDF ? 1 : b >= 0xE0 && b <= 0xEF ? 2 : b >= 0xF0 && b <= 0xF4 ? 3 : -1;
            if (extra < 0)
                return false;
            for (int i = 1; i <= extra; ++i)
                if (! isContinuation (c + i))
                    return false;
            if ((b == 0xE0 && c[1] < 0xA0) || (b == 0xED && c[1] >= 0xA0)
                || (b == 0xF0 && c[1] < 0x90) || (b == 0xF4 && c[1] >= 0x90))
                return false;
            c += 1 + extra;
            continue;
        }

        if (b == '<')
        {
            if (++markup > maxMarkup)
                return false;
            if (startsWith (c, "<!DOCTYPE") || startsWith (c, "<!doctype"))
                return false;
            if (c + 1 < end && c[1] == '?' && c != declaration)
                return false;
        }
        else if (b == '&')
        {
            if (! (startsWith (c, "&amp;") || startsWith (c, "&lt;") || startsWith (c, "&gt;")
                   || startsWith (c, "&quot;") || startsWith (c, "&apos;")))
            {
                if (! startsWith (c, "&#"))
                    return false;
                const auto* d = c + 2;
                const bool hex = d < end && (*d == 'x' || *d == 'X');
                if (hex)
                    ++d;
                juce::int64 code = 0;
                int digits = 0;
                for (; d < end && *d != ';'; ++d, ++digits)
                {
                    const int v = hex ? juce::CharacterFunctions::getHexDigitValue ((juce::juce_wchar) *d)
                                      : (*d >= '0' && *d <= '9' ? *d - '0' : -1);
                    if (v < 0 || digits >= 7)
                        return false;
                    code = code * (hex ? 16 : 10) + v;
                }
                if (d >= end || digits == 0 || code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
                    return false;
            }
        }
        ++c;
    }
    return true;
}

juce::File VarelleProcessor::getPresetsDirectory() const
{
    const auto folder = juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory)
                            .getChildFile ("VANTORIX")
                            .getChildFile ("ORVEX")
                            .getChildFile ("Presets");
    folder.createDirectory();
    return folder;
}

juce::StringArray VarelleProcessor::getPresetList() const
{
    juce::StringArray names;
    for (const auto& file : getPresetsDirectory().findChildFiles (juce::File::findFiles, false, "*.xml"))
        names.add (file.getFileNameWithoutExtension());
    names.sort (true);
    return names;
}

void VarelleProcessor::savePreset (const juce::String& name)
{
    juce::MemoryBlock block;
    getStateInformation (block);

    const auto file = presetFileFor (getPresetsDirectory(), name);
    if (file == juce::File())
        return;

    if (block.isEmpty())
        file.deleteFile();
    else
        writeFileAtomically (file, block);

    currentPresetName.set (name);
}

void VarelleProcessor::loadPreset (const juce::String& name)
{
    loadPresetFile (presetFileFor (getPresetsDirectory(), name), name);
}

void VarelleProcessor::loadPresetFile (const juce::File& file, const juce::String& name)
{
    // A missing file (or a folder of that name) loads nothing, but the name is still taken.
    if (file == juce::File() || ! file.existsAsFile())
    {
        currentPresetName.set (name);
        return;
    }

    // Loading never changes the automatic-key setting or a fixed key.
    const bool keepAutoKey = autoKeyEnabled.load();
    const int keepRoot = chordDetector.keyRoot.load();
    const int keepQuality = chordDetector.keyQuality.load();

    juce::MemoryBlock block;
    if (file.getSize() <= kMaxPresetFileBytes && file.loadFileAsData (block)
        && isReadableStateBlock (block.getData(), (int) block.getSize()))
        setStateInformation (block.getData(), (int) block.getSize());

    currentPresetName.set (name);

    autoKeyEnabled = keepAutoKey;
    setParameterPlain (p::autoKey, keepAutoKey ? 1.0f : 0.0f);

    if (! keepAutoKey && keepRoot >= 0)
    {
        autoKeyEnabled = false;
        setParameterPlain (p::autoKey, 0.0f);
        setKey (keepRoot, keepQuality);
    }
}

void VarelleProcessor::resetToDefaults()
{
    auto plainDefault = [this] (const juce::String& id)
    {
        auto* param = valueTreeState.getParameter (id);
        return param->convertFrom0to1 (param->getDefaultValue());
    };

    // 1. Parameters, through the one write path. "auto_key" belongs to the key setting, which a
    //    reset leaves alone.
    for (auto* param : getParameters())
        if (auto* ranged = dynamic_cast<juce::RangedAudioParameter*> (param))
            if (ranged->getParameterID() != p::autoKey)
                setParameterPlain (ranged->getParameterID(), ranged->convertFrom0to1 (ranged->getDefaultValue()));

    // 2. Settings that are not parameters. latencyMode, uiScale, autoKeyEnabled and the key stay.
    panSide = false;
    for (auto& solo : zoneSoloed)
        solo = false;

    for (int z = 0; z < p::kNumZones; ++z)
    {
        auto& zone = zones[(size_t) z];
        zone.lowNote = varelle::kDefaultZoneLowNotes[z];
        zone.highNote = varelle::kDefaultZoneHighNotes[z];
        zone.eqLowGain = plainDefault (p::zoneParamID (z, p::zoneEqLow));
        zone.eqMidGain = plainDefault (p::zoneParamID (z, p::zoneEqMid));
        zone.eqHighGain = plainDefault (p::zoneParamID (z, p::zoneEqHigh));
        zone.volume = plainDefault (p::zoneParamID (z, p::zoneVolume));
        zone.reverbSend = plainDefault (p::zoneParamID (z, p::zoneReverbSend));
        zone.delayTimeMs = plainDefault (p::zoneParamID (z, p::zoneDelayTime));
        zone.delayFeedback = plainDefault (p::zoneParamID (z, p::zoneDelayFeedback));
        zone.delayMix = plainDefault (p::zoneParamID (z, p::zoneDelayMix));
        // The first division of the table; a restored state without the attribute gives 3.
        zone.delaySync = false;
        zone.delaySyncDiv = 0;
    }

    for (auto& flag : noteMuted)
        flag = false;
    for (auto& flag : noteSoloed)
        flag = false;

    currentPresetName.set ({});

    // 3. The per-block copies take the defaults at once rather than at the next block, so the
    //    editor shows them even while no audio runs.
    auto& s = snapshot;
    s.panEnabled = plainDefault (p::panEnabled) >= 0.5f;
    s.panMode = (int) plainDefault (p::panMode);
    s.panHardness = plainDefault (p::panHardness);
    s.panGlide = plainDefault (p::panGlide);
    s.panSpread = plainDefault (p::panSpread);
    s.panLowNote = (int) plainDefault (p::panLowNote);
    s.panCenterNote = (int) plainDefault (p::panCenterNote);
    s.panHighNote = (int) plainDefault (p::panHighNote);
    s.stereoMode = (int) plainDefault (p::stereoMode);
    s.stereoWidth = plainDefault (p::stereoWidth);
    s.outputWidth = plainDefault (p::outputWidth);
    s.masterPan = plainDefault (p::masterPan);
    s.flipLR = plainDefault (p::flipLR) >= 0.5f;
    s.outputGainDb = plainDefault (p::outputGainDb);
    s.wetDryMix = plainDefault (p::wetDryMix);
    s.reverbMix = plainDefault (p::reverbMix);
    s.reverbSize = plainDefault (p::reverbSize);
    s.midiOffset = (int) plainDefault (p::midiOffset);
    zoneFxEnabled = plainDefault (p::zoneFxEnabled) >= 0.5f;
}

void VarelleProcessor::installFactoryPresets()
{
    // Any preset file, the user's own included, means the folder is in use: nothing is written
    // and the instance keeps its settings.
    if (! getPresetsDirectory().findChildFiles (juce::File::findFiles, false, "*.xml").isEmpty())
        return;

    for (const auto& preset : factoryPresets)
    {
        resetToDefaults();
        for (const auto& [id, value] : preset.values)
            setParameterPlain (id, value);
        savePreset (preset.name);
    }

    resetToDefaults();
}

juce::String VarelleProcessor::presetNameFromUserInput (const juce::String& typed)
{
    // "Default" is the editor's reset entry, never a file.
    const auto name = typed.trim();
    if (name.isEmpty() || name.equalsIgnoreCase ("Default"))
        return {};
    return name;
}

juce::String VarelleProcessor::getCurrentPresetName() const
{
    return currentPresetName.get();
}
