#include "NotePanner.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace varelle
{

namespace
{
constexpr float kHalfPi = 1.57079632679489662f;
}

void NotePanner::reset() noexcept
{
    std::fill (std::begin (notePans), std::end (notePans), 0.5f);
    std::fill (std::begin (noteActivity), std::end (noteActivity), 0.0f);
    std::fill (std::begin (targets), std::end (targets), 0.5f);
    notePansInitialised = false;
}

float NotePanner::shape (float p, float hardness, float spread) noexcept
{
    const float t = p < -0.01f ? 0.0f : (p > 0.01f ? 1.0f : 0.5f);
    const float q = (p + 0.5f) + hardness * (t - (p + 0.5f));
    return std::clamp (0.5f + spread * (q - 0.5f), 0.0f, 1.0f);
}

float NotePanner::staticRawPosition (int i, int lowNote, int centerNote, int highNote) noexcept
{
    const int lo = lowNote - 21, ce = centerNote - 21, hi = highNote - 21;
    if (i <= lo)
        return 0.0f;
    if (i <= ce)
        return centerNote > lowNote ? -0.5f * (1.0f - (float) (i - lo) / (float) (centerNote - lowNote)) : 0.0f;
    if (i <= hi)
        return highNote > centerNote ? 0.5f * (float) (i - ce) / (float) (highNote - centerNote) : 0.0f;
    return highNote < 108 ? 0.5f * (1.0f - (float) (i - hi) / (float) (108 - highNote)) : 0.0f;
}

float NotePanner::glideCoefficient (const Settings& s) noexcept
{
    return (s.mode == 1 || s.glide < 0.01f) ? 0.0f : 0.99f + 0.0099f * s.glide;
}

void NotePanner::computeTargets (const Settings& s, const SeparationFrame& frame) noexcept
{
    std::fill (std::begin (targets), std::end (targets), 0.5f);
    const int lo = s.lowNote - 21;

    if (s.mode == 1)
    {
        for (int i = 0; i < kNumKeys; ++i)
        {
            targets[i] = shape (staticRawPosition (i, s.lowNote, s.centerNote, s.highNote), s.hardness, s.spread);
            notePans[i] = targets[i];   // no glide in Static mode
        }
        return;
    }

    for (int i = 0; i < kNumKeys; ++i)
    {
        const float a = frame.notes[i].active ? 1.0f : 0.0f;
        const float c = a > noteActivity[i] ? 0.15f : 0.01f;
        noteActivity[i] += c * (a - noteActivity[i]);
        if (noteActivity[i] < 0.001f)
            noteActivity[i] = 0.0f;
    }

    double sum = 0.0, weighted = 0.0;
    for (int i = std::max (0, lo + 1); i < kNumKeys; ++i)
        if (noteActivity[i] > 0.01f)
        {
            sum += noteActivity[i];
            weighted += (double) noteActivity[i] * i;
        }

    // A single fully active key (sum <= 1) stays centred.
    if (sum > 1.5)
    {
        const float mean = (float) (weighted / sum);
        float widest = 0.0f;
        for (int i = 0; i < kNumKeys; ++i)
            if (noteActivity[i] > 0.01f)
                widest = std::max (widest, std::abs ((float) i - mean));
        const float k = widest > 0.0f ? 0.5f / widest : 0.0f;

        for (int i = std::max (0, lo + 1); i < kNumKeys; ++i)
            if (noteActivity[i] > 0.01f)
                targets[i] = shape (k * ((float) i - mean), s.hardness, s.spread);

        // Keys above the high note are pulled back towards the centre, fully at MIDI 108.
        if (s.highNote <= 107)
            for (int i = std::max (0, s.highNote - 20); i < kNumKeys; ++i)
                targets[i] += ((float) (i + 21 - s.highNote) / (float) (108 - s.highNote)) * (0.5f - targets[i]);
    }

    if (! notePansInitialised)
    {
        std::copy (std::begin (targets), std::end (targets), std::begin (notePans));
        notePansInitialised = true;
    }
}

void NotePanner::addChannel (int c, const float* x, const float* xRight, bool panSide, float g,
                             float* left, float* right, int n) noexcept
{
    float pan = notePans[c];
    const float target = targets[c];
    const bool dual = xRight != nullptr;
    const float sideScale = 3.0f * (float) c / 87.0f;

    // A channel whose position no longer moves (the glide has reached a fixed point, or lies
    // within 1e-7 of its target) gets its gains once per block; the result is the per-sample
    // formula's to within rounding of the gains.
    const float next = pan * g + target * (1.0f - g);
    const bool settled = next == pan || std::abs (pan - target) < 1.0e-7f || g == 0.0f;

    if (settled)
    {
        if (g == 0.0f)
            pan = target;
        const float cosP = std::cos (pan * kHalfPi), sinP = std::sin (pan * kHalfPi);
        const float gl = kSqrt2 * cosP, gr = kSqrt2 * sinP;
        if (! dual)
        {
            for (int i = 0; i < n; ++i)
            {
                left[i] += gl * x[i];
                right[i] += gr * x[i];
            }
        }
        else if (panSide)
        {
            for (int i = 0; i < n; ++i)
            {
                const float mid = 0.5f * (x[i] + xRight[i]);
                const float side = sideScale * 0.5f * (x[i] - xRight[i]);
                left[i] += gl * (mid + side);
                right[i] += gr * (mid - side);
            }
        }
        else
        {
            for (int i = 0; i < n; ++i)
            {
                const float mid = 0.5f * (x[i] + xRight[i]);
                const float side = sideScale * 0.5f * (x[i] - xRight[i]);
                left[i] += kSqrt2 * (cosP * mid + side);
                right[i] += kSqrt2 * (sinP * mid - side);
            }
        }
        notePans[c] = pan;
        return;
    }

    for (int i = 0; i < n; ++i)
    {
        pan = pan * g + target * (1.0f - g);
        const float cosP = std::cos (pan * kHalfPi), sinP = std::sin (pan * kHalfPi);
        if (! dual)
        {
            left[i] += kSqrt2 * cosP * x[i];
            right[i] += kSqrt2 * sinP * x[i];
        }
        else
        {
            const float mid = 0.5f * (x[i] + xRight[i]);
            const float side = sideScale * 0.5f * (x[i] - xRight[i]);
            if (panSide)
            {
                left[i] += kSqrt2 * cosP * (mid + side);
                right[i] += kSqrt2 * sinP * (mid - side);
            }
            else
            {
                left[i] += kSqrt2 * (cosP * mid + side);
                right[i] += kSqrt2 * (sinP * mid - side);
            }
        }
    }
    notePans[c] = pan;
}

} // namespace varelle
