#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace varelle
{

/** Float buffer aligned to 64 bytes, so every FFT buffer has the alignment its plan was made for. */
struct AlignedAllocatorBase
{
    static void* allocateBytes (std::size_t bytes);
    static void freeBytes (void* p) noexcept;
};

template <typename T>
struct AlignedAllocator
{
    using value_type = T;
    AlignedAllocator() noexcept = default;
    template <typename U> AlignedAllocator (const AlignedAllocator<U>&) noexcept {}
    T* allocate (std::size_t n) { return static_cast<T*> (AlignedAllocatorBase::allocateBytes (n * sizeof (T))); }
    void deallocate (T* p, std::size_t) noexcept { AlignedAllocatorBase::freeBytes (p); }
    template <typename U> bool operator== (const AlignedAllocator<U>&) const noexcept { return true; }
    template <typename U> bool operator!= (const AlignedAllocator<U>&) const noexcept { return false; }
};

using AlignedFloats = std::vector<float, AlignedAllocator<float>>;

/** Real-input FFT of size 2^order on FFTW.

    Layout: N / 2 + 1 complex bins as interleaved (re, im) floats, DC first, Nyquist last.
    The forward transform is unscaled; the inverse is normalised by 1 / N, so that
    inverse (forward (x)) == x.

    Plans are made in the constructor (never on the audio thread), measured for speed, and
    work on any 64-byte aligned buffers of at least N + 2 floats. Executing a plan is
    thread-safe; creating and destroying plans is serialised internally because FFTW's planner
    is not. */
class RealFFT
{
public:
    explicit RealFFT (int order);
    ~RealFFT();

    RealFFT (const RealFFT&) = delete;
    RealFFT& operator= (const RealFFT&) = delete;

    int getOrder() const noexcept { return order; }
    int getSize() const noexcept { return size; }

    /** In place: data holds N real samples on entry and N + 2 floats of spectrum on exit. */
    void forward (float* data) const noexcept;

    /** In place: data holds N + 2 floats of spectrum on entry and N real samples on exit. */
    void inverse (float* data) const noexcept;

    /** Out of place and without the 1 / N scaling: N real samples from N + 2 floats of
        spectrum, which are overwritten. For callers that fold the scale into a window. */
    void inverseUnscaled (float* spectrum, float* output) const noexcept;

private:
    int order = 0, size = 1;
    float scale = 1.0f;
    void* forwardPlan = nullptr;
    void* inversePlan = nullptr;
    void* inverseOutOfPlacePlan = nullptr;
};

} // namespace varelle
