#pragma once

#include "SeparationFrame.h"

#include <cstdint>

namespace varelle
{

/** A note detector that can stand in for the classical tracker inside the note separator. */
struct NoteDetector
{
    virtual ~NoteDetector() = default;

    /** True when it can run at the prepared frame size. */
    virtual bool isReady() const noexcept = 0;
    virtual void prepare (double sampleRate, int fftSize) = 0;
    virtual void reset() noexcept = 0;

    /** One frame's magnitudes in, the frame's notes out; scaleMask is the key's pitch classes
        (0x0FFF without a key). */
    virtual void detect (const float* magnitudes, int numBins, uint16_t scaleMask, SeparationFrame& frame) noexcept = 0;
};

} // namespace varelle
