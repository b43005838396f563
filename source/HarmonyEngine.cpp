#include "HarmonyEngine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace varelle
{

namespace
{
constexpr float kPi = 3.14159265358979f;
constexpr float kHalfPi = 1.57079632679489662f;
}

const int HarmonyEngine::s_majorScale[7] = { 0, 2, 4, 5, 7, 9, 11 };
const int HarmonyEngine::s_minorScale[7] = { 0, 2, 3, 5, 7, 8, 10 };
const int HarmonyEngine::s_mixolydianScale[7] = { 0, 2, 4, 5, 7, 9, 10 };

const int* HarmonyEngine::scaleForChordType (int type) noexcept
{
    switch (type)
    {
        case 2: case 5: case 6: case 7: case 13: case 14: case 16: return s_minorScale;
        case 3: case 15: return s_mixolydianScale;
        default: return s_majorScale;
    }
}

int HarmonyEngine::findScaleDegree (int pitchClass, int root, const int* scale) noexcept
{
    const int rel = ((pitchClass - root) % 12 + 12) % 12;
    for (int k = 0; k < 7; ++k)
        if (scale[k] == rel)
            return k;

    int best = 0, bestDistance = 99;
    for (int k = 0; k < 7; ++k)
    {
        int d = std::abs (scale[k] - rel);
        if (d >= 7)
            d = 12 - d;
        if (d < bestDistance)
        {
            bestDistance = d;
            best = k;
        }
    }
    return best;
}

int HarmonyEngine::diatonicInterval (int pitchClass, int root, const int* scale, int steps) noexcept
{
    const int degree = findScaleDegree (pitchClass, root, scale);
    const int t = degree + steps;
    const int octaves = (int) std::floor ((double) t / 7.0);
    const int wrapped = t - 7 * octaves;
    return scale[wrapped] - scale[degree] + 12 * octaves;
}

int HarmonyEngine::stepsForCode (int code) noexcept
{
    switch (code)
    {
        case 1: case 2: case 3: case 4: case 5: return code;
        case 6: return -1;
        case 7: return -2;
        case 8: return -4;
        default: return 0;
    }
}

int HarmonyEngine::fallbackSemitones (int code) noexcept
{
    if (code >= 1 && code <= 5)
        return 12;
    if (code >= 6 && code <= 8)
        return -12;
    return 0;
}

//==============================================================================
void HarmonyEngine::PitchShifter::reset() noexcept
{
    buffer.fill (0.0f);
    write = 0;
    phase = 0.0f;
}

float HarmonyEngine::PitchShifter::read (float p) const noexcept
{
    const int i = (int) p;
    const float t = p - std::floor (p);
    const float pm1 = buffer[(size_t) ((i - 1 + kSize) % kSize)];
    const float p0 = buffer[(size_t) (i % kSize)];
    const float p1 = buffer[(size_t) ((i + 1) % kSize)];
    const float p2 = buffer[(size_t) ((i + 2) % kSize)];
    const float c0 = p0;
    const float c1 = 0.5f * (p1 - pm1);
    const float c2 = pm1 - 2.5f * p0 + 2.0f * p1 - 0.5f * p2;
    const float c3 = 0.5f * (p2 - pm1) + 1.5f * (p0 - p1);
    return ((c3 * t + c2) * t + c1) * t + c0;
}

float HarmonyEngine::PitchShifter::process (float input, float ratio) noexcept
{
    const float size = (float) kSize;
    buffer[(size_t) write] = input;

    phase += ratio;
    while (phase >= size)
        phase -= size;
    while (phase < 0.0f)
        phase += size;
    float phase2 = phase + 0.5f * size;
    if (phase2 >= size)
        phase2 -= size;

    const float tapA = read (phase);
    const float tapB = read (phase2);

    // Each tap fades out as the read head nears the write head; the two weights sum to 1.
    float dA = (float) write - phase;
    if (dA < 0.0f)
        dA += size;
    float dB = (float) write - phase2;
    if (dB < 0.0f)
        dB += size;
    const float sA = std::sin (kPi * dA / size), sB = std::sin (kPi * dB / size);
    const float out = tapA * sA * sA + tapB * sB * sB;

    write = (write + 1) % kSize;
    return out;
}

//==============================================================================
void HarmonyEngine::Biquad::setLowPass (double cutoff, double rate) noexcept
{
    const double w = 2.0 * 3.14159265358979323846 * cutoff / rate;
    const double alpha = std::sin (w) / 1.414, c = std::cos (w), a0 = 1.0 + alpha;
    b0 = b2 = (float) ((1.0 - c) / 2.0 / a0);
    b1 = (float) ((1.0 - c) / a0);
    a1 = (float) (-2.0 * c / a0);
    a2 = (float) ((1.0 - alpha) / a0);
}

float HarmonyEngine::Biquad::process (float x) noexcept
{
    const float y = b0 * x + s1;
    s1 = b1 * x - a1 * y + s2;
    s2 = b2 * x - a2 * y;
    return y;
}

float HarmonyEngine::DelayLine::process (float input, int delay) noexcept
{
    samples[(size_t) write] = input;
    const float out = samples[(size_t) ((write - delay + kSize) % kSize)];
    write = (write + 1) % kSize;
    return out;
}

void HarmonyEngine::DelayLine::clear() noexcept
{
    samples.fill (0.0f);
    write = 0;
}

//==============================================================================
void HarmonyEngine::prepare (double newSampleRate) noexcept
{
    sampleRate = newSampleRate > 0.0 ? newSampleRate : 44100.0;
    reset();
    const int codes[4] = { 2, 4, 0, 7 };
    for (int v = 0; v < 4; ++v)
    {
        harmonyVoices[(size_t) v].intervalCode = codes[v];
        harmonyVoices[(size_t) v].octaveShift = v == 2 ? 1 : 0;
    }
}

void HarmonyEngine::reset() noexcept
{
    for (auto& s : shifters)
        s.reset();
    for (auto& f : filters)
        f.clear();
    for (auto& voice : doubler)
        for (auto& copy : voice)
        {
            copy.shifter.reset();
            copy.filter.clear();
            copy.line.clear();
        }
    for (auto& voice : spectralDoubler)
        for (auto& line : voice)
            line.clear();
    smoothers.fill (1.0f);

    initialised = false;
    trackedNote = candidateNote = -1;
    trackedFrequency = candidateFrequency = 0.0f;
    candidateCount = 0;
    changed = false;
}

void HarmonyEngine::updateTracker (const SeparationFrame& frame) noexcept
{
    int lowest = -1;
    float frequency = 0.0f;
    for (int key = 0; key < SeparationFrame::kNumKeys; ++key)
    {
        const auto& slot = frame.notes[key];
        if (frame.isActive (key) && slot.active && slot.midiNote >= 0 && slot.frequency >= 20.0f
            && (lowest < 0 || slot.midiNote < lowest))
        {
            lowest = slot.midiNote;
            frequency = slot.frequency;
        }
    }
    if (lowest < 0)
        return;

    if (lowest == trackedNote)
    {
        trackedFrequency = frequency;
        candidateNote = -1;
        candidateCount = 0;
    }
    else if (lowest != candidateNote)
    {
        candidateNote = lowest;
        candidateFrequency = frequency;
        candidateCount = 1;
    }
    else if (++candidateCount >= 3)
    {
        trackedNote = lowest;
        trackedFrequency = frequency;
        candidateNote = -1;
        candidateCount = 0;
        changed = true;
    }
}

int HarmonyEngine::semitonesFor (int code) const noexcept
{
    if (code == 0)
        return 0;
    const int steps = stepsForCode (code);
    const int pc = ((trackedNote % 12) + 12) % 12;
    const int root = keyRoot.load (std::memory_order_relaxed);
    if (root >= 0 && root <= 11)
        return diatonicInterval (pc, root, keyQuality.load (std::memory_order_relaxed) == 1 ? s_minorScale : s_majorScale, steps);
    if (chordOfBlock.type != 0 && chordOfBlock.root >= 0 && ((chordOfBlock.presentPitchClasses >> pc) & 1u) != 0)
        return diatonicInterval (pc, chordOfBlock.root, scaleForChordType (chordOfBlock.type), steps);
    return fallbackSemitones (code);
}

void HarmonyEngine::glide (float& smoother, float target, bool snap) noexcept
{
    // A new note or a large change jumps; small ones (within 3 %) glide per sample.
    if (snap || std::abs (target - smoother) > 0.03f * target)
        smoother = target;
}

void HarmonyEngine::render (const float* source, const float* const* spectralChannels, int n,
                            const SeparationFrame& frame, const ChordResult& chord, float* left, float* right) noexcept
{
    std::fill (left, left + n, 0.0f);
    std::fill (right, right + n, 0.0f);

    const float master = harmonyLevel.load (std::memory_order_relaxed);
    if (! harmonyEnabled.load (std::memory_order_relaxed) || master < 0.001f)
        return;

    const bool doubled = doublerEnabled.load (std::memory_order_relaxed);
    const int delay = std::min ((int) (doublerDelayMs.load (std::memory_order_relaxed) * 0.001 * sampleRate), DelayLine::kSize - 1);
    const float cents = doublerDetuneCents.load (std::memory_order_relaxed);
    const float down = std::pow (2.0f, -cents / 1200.0f), up = std::pow (2.0f, cents / 1200.0f);
    const float width = doublerWidth.load (std::memory_order_relaxed);
    const float angleA = (0.5f - 0.5f * width) * kHalfPi, angleB = (0.5f + 0.5f * width) * kHalfPi;
    const float cosA = std::cos (angleA), sinA = std::sin (angleA), cosB = std::cos (angleB), sinB = std::sin (angleB);

    if (spectralHarmony.load (std::memory_order_relaxed))
    {
        // The voices carry whatever the analysis wrote into channels 89 .. 100.
        for (int v = 0; v < 4; ++v)
        {
            const auto& voice = harmonyVoices[(size_t) v];
            const float gain = voice.level.load (std::memory_order_relaxed) * master;
            if (! voice.enabled.load (std::memory_order_relaxed) || gain < 0.001f
                || (voice.intervalCode.load (std::memory_order_relaxed) == 0 && voice.octaveShift.load (std::memory_order_relaxed) == 0))
                continue;

            const float pan = voice.pan.load (std::memory_order_relaxed) * kHalfPi;
            const float gl = std::cos (pan) * gain, gr = std::sin (pan) * gain;
            const float* main = spectralChannels[3 * v];
            for (int i = 0; i < n; ++i)
            {
                left[i] += gl * main[i];
                right[i] += gr * main[i];
            }
            if (doubled)
            {
                const float* a = spectralChannels[3 * v + 1];
                const float* b = spectralChannels[3 * v + 2];
                auto& lines = spectralDoubler[(size_t) v];
                for (int i = 0; i < n; ++i)
                {
                    const float copyA = lines[0].process (a[i], delay);
                    const float copyB = lines[1].process (b[i], delay);
                    left[i] += 0.5f * gain * (cosA * copyA + cosB * copyB);
                    right[i] += 0.5f * gain * (sinA * copyA + sinB * copyB);
                }
            }
        }
        return;
    }

    chordOfBlock = chord;
    updateTracker (frame);

    if (trackedNote >= 0)
    {
        for (int v = 0; v < 4; ++v)
        {
            const auto& voice = harmonyVoices[(size_t) v];
            const float gain = voice.level.load (std::memory_order_relaxed) * master;
            const int code = voice.intervalCode.load (std::memory_order_relaxed);
            const int octave = voice.octaveShift.load (std::memory_order_relaxed);
            if (! voice.enabled.load (std::memory_order_relaxed) || gain < 0.001f || (code == 0 && octave == 0))
                continue;

            const int total = semitonesFor (code) + 12 * octave;
            const float ratio = std::pow (2.0f, (float) total / 12.0f);
            const double cutoff = std::max (200.0, std::min (0.45 * sampleRate, std::max (2000.0, std::min (10000.0, 12.0 * trackedFrequency * ratio))));
            filters[(size_t) v].setLowPass (cutoff, sampleRate);

            float& smooth = smoothers[(size_t) v];
            glide (smooth, ratio, changed);

            const float pan = voice.pan.load (std::memory_order_relaxed) * kHalfPi;
            const float gl = std::cos (pan) * gain, gr = std::sin (pan) * gain;
            auto& shifter = shifters[(size_t) v];
            auto& filter = filters[(size_t) v];
            for (int i = 0; i < n; ++i)
            {
                smooth = 0.9995f * smooth + 0.0005f * ratio;
                const float y = filter.process (shifter.process (source[i], smooth));
                left[i] += gl * y;
                right[i] += gr * y;
            }

            if (doubled)
            {
                auto& copies = doubler[(size_t) v];
                copies[0].filter.setLowPass (cutoff, sampleRate);
                copies[1].filter.setLowPass (cutoff, sampleRate);
                float& smoothA = smoothers[(size_t) (4 + v)];
                float& smoothB = smoothers[(size_t) (8 + v)];
                glide (smoothA, ratio * down, changed);
                glide (smoothB, ratio * up, changed);
                for (int i = 0; i < n; ++i)
                {
                    smoothA = 0.9995f * smoothA + 0.0005f * ratio * down;
                    smoothB = 0.9995f * smoothB + 0.0005f * ratio * up;
                    const float a = copies[0].line.process (copies[0].filter.process (copies[0].shifter.process (source[i], smoothA)), delay);
                    const float b = copies[1].line.process (copies[1].filter.process (copies[1].shifter.process (source[i], smoothB)), delay);
                    left[i] += 0.5f * gain * (cosA * a + cosB * b);
                    right[i] += 0.5f * gain * (sinA * a + sinB * b);
                }
            }
        }
    }

    changed = false;
    initialised = true;
}

} // namespace varelle
