#include "VarelleProcessor.h"

#include <cmath>
#include <cstdint>
#include <limits>

// The saved state is one byte block: the framework's "VC2!" wrapper around a single-line XML
// document with root "Parameters". Its attributes hold the settings that are not parameters,
// its "PARAM" children the 46 parameter values. Hosts, preset files and A/B slots all use it.

namespace p = varelle::params;

namespace
{
juce::String zoneAttribute (int zone, const char* name)
{
    return "_zone" + juce::String (zone) + "_" + name;
}

/** An integer attribute read as the framework reads one (leading spaces, a sign, then digits up
    to the first other character; 0 when there are none), but saturating at the int range:
    the framework's own reader overflows on long digit strings. fallback when absent. */
int readInt (const juce::XmlElement& xml, const juce::StringRef name, int fallback)
{
    if (! xml.hasAttribute (name))
        return fallback;
    auto text = xml.getStringAttribute (name).getCharPointer();
    while (text.isWhitespace())
        ++text;
    bool negative = false;
    if (*text == '-' || *text == '+')
        negative = text.getAndAdvance() == '-';
    int64_t value = 0;
    for (; text.isDigit(); ++text)
        value = std::min<int64_t> (value * 10 + (int64_t) (*text - '0'), (int64_t) 1 << 32);
    value = negative ? -value : value;
    return (int) juce::jlimit<int64_t> (std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), value);
}

/** The text with every exponent ("e" or "E", a sign, digits) cut to at most four significant
    digits: the framework's number reader overflows on longer ones. The value read stays the
    same (beyond 1e9999 every real is infinite or zero). */
juce::String boundedExponents (const juce::String& text)
{
    if (! text.containsAnyOf ("eE"))
        return text;
    juce::String out;
    for (auto c = text.getCharPointer(); ! c.isEmpty();)
    {
        const auto ch = c.getAndAdvance();
        out += juce::String::charToString (ch);
        if (ch != 'e' && ch != 'E')
            continue;
        if (*c == '+' || *c == '-')
            out += juce::String::charToString (c.getAndAdvance());
        juce::String digits;
        while (c.isDigit())
        {
            const auto d = c.getAndAdvance();
            if (d != '0' || digits.isNotEmpty())
                digits += juce::String::charToString (d);
        }
        out += digits.length() > 4 ? juce::String ("9999") : (digits.isEmpty() ? juce::String() : digits);
    }
    return out;
}

void boundExponentsEverywhere (juce::XmlElement& xml)
{
    // Only the first of a repeated attribute is ever read (and setAttribute changes that one).
    juce::StringArray seen;
    for (int i = 0; i < xml.getNumAttributes(); ++i)
    {
        if (seen.contains (xml.getAttributeName (i)))
            continue;
        seen.add (xml.getAttributeName (i));
        const auto value = xml.getAttributeValue (i);
        const auto bounded = boundedExponents (value);
        if (bounded != value)
            xml.setAttribute (xml.getAttributeName (i), bounded);
    }
    for (auto* child : xml.getChildIterator())
        boundExponentsEverywhere (*child);
}

/** The interface scale as stored: any real that a float holds; anything else (NaN, infinity,
    beyond the float range) gives 1.0. */
float readScale (double value)
{
    return std::isfinite (value) && std::abs (value) <= (double) std::numeric_limits<float>::max() ? (float) value : 1.0f;
}
} // namespace

void VarelleProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    // copyState flushes every parameter's current value into its tree first.
    const auto state = valueTreeState.copyState();
    const std::unique_ptr<juce::XmlElement> stateXml (state.createXml());

    // The document is rebuilt rather than saved as the tree stands: a restored tree may carry
    // foreign attributes, a foreign root tag or stray children, none of which belong in a
    // saved state.
    juce::XmlElement xml ("Parameters");
    xml.setAttribute ("_latencyMode", latencyMode.load());
    xml.setAttribute ("_uiScale", (double) uiScale.load());
    xml.setAttribute ("_panSide", panSide.load() ? 1 : 0);
    xml.setAttribute ("_autoKeyEnabled", autoKeyEnabled.load() ? 1 : 0);
    xml.setAttribute ("_keyRoot", chordDetector.keyRoot.load());
    xml.setAttribute ("_keyQuality", chordDetector.keyQuality.load());
    for (int z = 0; z < p::kNumZones; ++z)
    {
        const auto& zone = zones[(size_t) z];
        xml.setAttribute (zoneAttribute (z, "lowNote"), zone.lowNote.load());
        xml.setAttribute (zoneAttribute (z, "highNote"), zone.highNote.load());
        xml.setAttribute (zoneAttribute (z, "delaySync"), zone.delaySync.load() ? 1 : 0);
        xml.setAttribute (zoneAttribute (z, "delaySyncDiv"), zone.delaySyncDiv.load());
    }

    for (auto* param : getParameters())
    {
        auto* ranged = dynamic_cast<juce::RangedAudioParameter*> (param);
        if (ranged == nullptr)
            continue;

        const auto& id = ranged->getParameterID();
        auto* child = xml.createNewChildElement ("PARAM");
        child->setAttribute ("id", id);

        const auto* saved = stateXml != nullptr ? stateXml->getChildByAttribute ("id", id) : nullptr;
        if (saved != nullptr && saved->hasAttribute ("value"))
            child->setAttribute ("value", saved->getStringAttribute ("value"));
        else
            child->setAttribute ("value", (double) ranged->convertFrom0to1 (ranged->getValue()));
    }

    copyXmlToBinary (xml, destData);
}

void VarelleProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    // Blocks come from hosts' project files and from preset files, so from anywhere: only a
    // block the XML reader can parse safely is handed to it.
    if (! isReadableStateBlock (data, sizeInBytes))
        return;

    const auto xml = getXmlFromBinary (data, sizeInBytes);
    if (xml == nullptr)
        return;
    boundExponentsEverywhere (*xml);

    if (xml->getTagName().equalsIgnoreCase ("VarelleState"))
    {
        loadLegacyState (*xml);
        return;
    }

    // The tree is rebuilt from what this reader sees: the first value of every attribute and
    // the first entry of every parameter ID. A parameter listed twice, or an attribute given
    // twice, would otherwise take one value in the running instance while a later save reads
    // the other.
    juce::XmlElement clean (xml->getTagName());
    for (int i = 0; i < xml->getNumAttributes(); ++i)
        if (! clean.hasAttribute (xml->getAttributeName (i)))
            clean.setAttribute (xml->getAttributeName (i), xml->getAttributeValue (i));
    {
        juce::StringArray seen;
        for (auto* child : xml->getChildIterator())
        {
            if (! child->hasAttribute ("id"))
                continue;
            const auto id = child->getStringAttribute ("id");
            if (seen.contains (id))
                continue;
            seen.add (id);
            auto* copy = clean.createNewChildElement (child->getTagName());
            copy->setAttribute ("id", id);
            if (child->hasAttribute ("value"))
                copy->setAttribute ("value", child->getStringAttribute ("value"));
        }
    }

    valueTreeState.replaceState (juce::ValueTree::fromXml (clean));

    // A value that parses to NaN would reach the audio thread as NaN; such parameters fall
    // back to their defaults.
    for (auto* param : getParameters())
        if (auto* ranged = dynamic_cast<juce::RangedAudioParameter*> (param); ranged != nullptr && ! std::isfinite (ranged->getValue()))
            setParameterPlain (ranged->getParameterID(), ranged->convertFrom0to1 (ranged->getDefaultValue()));

    if (xml->hasAttribute ("_latencyMode"))
    {
        const int mode = readInt (*xml, "_latencyMode", 0);
        if (mode != latencyMode.load())
        {
            latencyMode = mode;
            latencyChangePending = true;
        }
    }

    uiScale = readScale (xml->getDoubleAttribute ("_uiScale", 1.0));
    panSide = xml->getBoolAttribute ("_panSide", false);
    autoKeyEnabled = xml->getBoolAttribute ("_autoKeyEnabled", true);

    if (! autoKeyEnabled.load() && xml->hasAttribute ("_keyRoot"))
    {
        const int root = readInt (*xml, "_keyRoot", 0);
        const int quality = readInt (*xml, "_keyQuality", 0);
        if (root >= 0)
        {
            autoKeyEnabled = false;
            setParameterPlain (p::autoKey, 0.0f);
            setKey (root, quality);
        }
    }

    for (int z = 0; z < p::kNumZones; ++z)
    {
        if (! xml->hasAttribute (zoneAttribute (z, "lowNote")))
            continue;

        auto& zone = zones[(size_t) z];
        zone.lowNote = readInt (*xml, zoneAttribute (z, "lowNote"), 0);
        zone.highNote = readInt (*xml, zoneAttribute (z, "highNote"), 0);
        zone.delaySync = xml->getBoolAttribute (zoneAttribute (z, "delaySync"), false);
        zone.delaySyncDiv = readInt (*xml, zoneAttribute (z, "delaySyncDiv"), 3);
    }
}

void VarelleProcessor::loadLegacyState (const juce::XmlElement& xml)
{
    auto real = [&xml] (const char* name, double fallback)
    {
        const double v = xml.getDoubleAttribute (name, fallback);
        return std::isfinite (v) ? (float) v : (float) fallback;
    };
    auto integer = [&xml] (const char* name, int fallback) { return (float) readInt (xml, name, fallback); };
    auto boolean = [&xml] (const char* name, bool fallback) { return xml.getBoolAttribute (name, fallback) ? 1.0f : 0.0f; };

    if (xml.hasAttribute ("latencyMode"))
    {
        const int mode = readInt (xml, "latencyMode", 0);
        if (mode != latencyMode.load())
        {
            latencyMode = mode;
            latencyChangePending = true;
        }
    }

    setParameterPlain (p::panEnabled, boolean ("panEnabled", true));
    setParameterPlain (p::panMode, integer ("panMode", 0));
    setParameterPlain (p::panHardness, real ("panHardness", 0.0));
    setParameterPlain (p::panGlide, real ("panGlide", 0.7));
    setParameterPlain (p::panLowNote, integer ("panLowNote", 52));
    setParameterPlain (p::panCenterNote, integer ("panCenterNote", 62));
    setParameterPlain (p::panHighNote, integer ("panHighNote", 76));
    setParameterPlain (p::stereoMode, integer ("stereoMode", 1));
    setParameterPlain (p::masterPan, real ("masterPan", 0.5));
    setParameterPlain (p::flipLR, boolean ("flipLR", false));
    setParameterPlain (p::outputGainDb, real ("outputGainDb", 0.0));
    setParameterPlain (p::wetDryMix, real ("wetDryMix", 1.0));
    setParameterPlain (p::reverbMix, real ("reverbMix", 0.3));
    setParameterPlain (p::reverbSize, real ("reverbSize", 0.5));
    setParameterPlain (p::zoneFxEnabled, boolean ("zoneFXEnabled", false));

    static const char* const legacyZoneNames[p::kNumZoneParams] = {
        "eqLowGain", "eqMidGain", "eqHighGain", "volume", "reverbSend", "delayTimeMs", "delayFeedback", "delayMix"
    };
    static const double legacyZoneDefaults[p::kNumZoneParams] = { 0.0, 0.0, 0.0, 0.0, 0.0, 250.0, 0.3, 0.0 };

    for (int z = 0; z < p::kNumZones; ++z)
    {
        const juce::String prefix = "zone" + juce::String (z) + "_";
        for (int s = 0; s < p::kNumZoneParams; ++s)
            setParameterPlain (p::zoneParamID (z, s), real ((prefix + legacyZoneNames[s]).toRawUTF8(), legacyZoneDefaults[s]));

        auto& zone = zones[(size_t) z];
        zone.lowNote = readInt (xml, prefix + "lowNote", zone.lowNote.load());
        zone.highNote = readInt (xml, prefix + "highNote", zone.highNote.load());
        zone.delaySync = xml.getBoolAttribute (prefix + "delaySync", false);
        zone.delaySyncDiv = readInt (xml, prefix + "delaySyncDiv", 3);
    }

    panSide = xml.getBoolAttribute ("panSide", true);
    autoKeyEnabled = xml.getBoolAttribute ("autoKeyEnabled", true);
    uiScale = readScale (xml.getDoubleAttribute ("uiScale", 1.0));

    if (! autoKeyEnabled.load() && xml.hasAttribute ("keyRoot"))
    {
        const int root = readInt (xml, "keyRoot", -1);
        const int quality = readInt (xml, "keyQuality", 0);
        if (root >= 0)
        {
            autoKeyEnabled = false;
            setParameterPlain (p::autoKey, 0.0f);
            setKey (root, quality);
        }
    }
}
