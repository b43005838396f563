#include "ChordDetector.h"

#include <initializer_list>

namespace varelle
{

namespace
{
constexpr uint16_t intervals (std::initializer_list<int> steps)
{
    uint16_t mask = 0;
    for (int s : steps)
        mask = (uint16_t) (mask | (1u << s));
    return mask;
}

int popcount12 (uint16_t v) noexcept
{
    int n = 0;
    for (int i = 0; i < 12; ++i)
        n += (v >> i) & 1;
    return n;
}

constexpr float kTypeWeights[17] = { 1.0f, 1.0f, 0.95f, 0.95f, 0.95f, 0.7f, 0.6f, 0.6f, 0.85f,
                                     0.85f, 1.0f, 0.8f, 0.6f, 0.7f, 0.8f, 0.8f, 0.8f };
} // namespace

// Search order: the rarer, more specific shapes come first so that among equal scores the
// earlier template keeps its place.
const ChordDetector::Template ChordDetector::s_templates[kNumTemplates] = {
    { 8, intervals ({ 0, 4, 8 }), 3 },           // augmented
    { 7, intervals ({ 0, 3, 6 }), 3 },           // diminished
    { 9, intervals ({ 0, 2, 7 }), 3 },           // suspended second
    { 10, intervals ({ 0, 5, 7 }), 3 },          // suspended fourth
    { 1, intervals ({ 0, 4, 7 }), 3 },           // major
    { 2, intervals ({ 0, 3, 7 }), 3 },           // minor
    { 11, intervals ({ 0, 7 }), 2 },             // power chord
    { 13, intervals ({ 0, 3, 6, 9 }), 4 },       // diminished seventh
    { 14, intervals ({ 0, 3, 6, 10 }), 4 },      // half-diminished seventh
    { 6, intervals ({ 0, 3, 7, 11 }), 4 },       // minor-major seventh
    { 5, intervals ({ 0, 3, 7, 10 }), 4 },       // minor seventh
    { 3, intervals ({ 0, 4, 7, 10 }), 4 },       // dominant seventh
    { 4, intervals ({ 0, 4, 7, 11 }), 4 },       // major seventh
    { 15, intervals ({ 0, 2, 4, 7, 10 }), 5 },   // dominant ninth
    { 16, intervals ({ 0, 2, 3, 7, 10 }), 5 },   // minor ninth
    { 17, intervals ({ 0, 2, 4, 7, 11 }), 5 },   // major ninth
    { 12, intervals ({ 0, 2, 4, 7 }), 4 },       // added ninth
};

float ChordDetector::typeWeight (int type) noexcept
{
    return type >= 1 && type <= 17 ? kTypeWeights[type - 1] : 0.5f;
}

const ChordDetector::Template* ChordDetector::templateForType (int type) noexcept
{
    for (const auto& t : s_templates)
        if (t.type == type)
            return &t;
    return nullptr;
}

const char* ChordDetector::typeName (int type) noexcept
{
    static const char* const names[18] = { "",     "maj",  "min",  "7",    "maj7", "min7",
                                           "minMaj7", "dim", "aug", "sus2", "sus4", "5",
                                           "add9", "dim7", "m7b5", "9",    "min9", "maj9" };
    return type >= 0 && type <= 17 ? names[type] : "";
}

ChordResult ChordDetector::detect (const SeparationFrame& frame) const noexcept
{
    ChordResult result;

    uint16_t present = 0;
    int lowestMidi = -1;
    for (const auto& slot : frame.notes)
    {
        if (! slot.active || slot.midiNote < 0)
            continue;
        present = (uint16_t) (present | (1u << (slot.midiNote % 12)));
        if (lowestMidi < 0 || slot.midiNote < lowestMidi)
            lowestMidi = slot.midiNote;
    }

    if (present == 0 || frame.activeCount < 2)
        return result;

    result.presentPitchClasses = present;
    result.bass = lowestMidi % 12;

    const int distinct = popcount12 (present);
    if (distinct < 2)
        return result;

    const int root = keyRoot.load (std::memory_order_relaxed);
    const bool keyed = root >= 0 && root <= 11;
    const uint16_t scale = keyed ? scaleMaskForKey (root, keyQuality.load (std::memory_order_relaxed)) : 0x0FFF;

    float bestScore = 0.0f;
    int bestRoot = -1, bestType = 0;

    for (int r = 0; r < 12; ++r)
    {
        if (((present >> r) & 1u) == 0)
            continue;

        const uint16_t rotated = (uint16_t) (((present >> r) | (present << (12 - r))) & 0x0FFF);

        for (const auto& t : s_templates)
        {
            const int matched = popcount12 ((uint16_t) (rotated & t.intervals));
            if (matched < t.minimumNotes)
                continue;

            float score = (0.3f * (float) matched / (float) t.minimumNotes
                           + 0.5f * (float) matched / (float) distinct
                           + 0.05f * (float) t.minimumNotes
                           - 0.1f * (float) (distinct - matched))
                          * typeWeight (t.type);

            if (keyed)
                score *= ((scale >> r) & 1u) != 0 ? 1.15f : 0.75f;

            if (score > bestScore)
            {
                bestScore = score;
                bestRoot = r;
                bestType = t.type;
            }
        }
    }

    if (bestType == 0 || bestRoot < 0)
        return result;

    result.root = bestRoot;
    result.type = bestType;
    result.score = bestScore;
    if (const auto* t = templateForType (bestType))
        for (int i = 0; i < 12; ++i)
            if ((t->intervals >> i) & 1u)
                result.chordPitchClasses = (uint16_t) (result.chordPitchClasses | (1u << ((bestRoot + i) % 12)));
    return result;
}

} // namespace varelle
