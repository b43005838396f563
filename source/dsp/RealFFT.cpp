#include "RealFFT.h"

#include <fftw3.h>

#include <cstdlib>
#include <mutex>
#include <new>

namespace varelle
{

void* AlignedAllocatorBase::allocateBytes (std::size_t bytes)
{
    void* p = nullptr;
    if (posix_memalign (&p, 64, bytes == 0 ? 64 : bytes) != 0)
        throw std::bad_alloc();
    return p;
}

void AlignedAllocatorBase::freeBytes (void* p) noexcept { std::free (p); }

namespace
{
    std::mutex& plannerMutex()
    {
        static std::mutex m;
        return m;
    }
}

RealFFT::RealFFT (int fftOrder)
    : order (fftOrder), size (1 << fftOrder), scale (1.0f / (float) (1 << fftOrder))
{
    // Plans are made on scratch arrays with the same alignment as the callers' buffers; the
    // new-array execute functions then apply them to any such buffer.
    // Every plan is estimated, never measured: a measured plan is about 1.5 times faster for
    // the inverse transforms of resynthesis, but it is chosen by timing and may differ between
    // processes. Rounding differences then flip the trackers' threshold decisions, and a render
    // would no longer equal the same session bounced in a host. Estimated plans are the same
    // in every process, so results are reproducible bit for bit on a machine.
    AlignedFloats scratch ((size_t) size + 2), output ((size_t) size + 2);
    auto* complexData = reinterpret_cast<fftwf_complex*> (scratch.data());

    std::lock_guard<std::mutex> lock (plannerMutex());
    forwardPlan = fftwf_plan_dft_r2c_1d (size, scratch.data(), complexData, FFTW_ESTIMATE);
    inversePlan = fftwf_plan_dft_c2r_1d (size, complexData, scratch.data(), FFTW_ESTIMATE);
    inverseOutOfPlacePlan = fftwf_plan_dft_c2r_1d (size, complexData, output.data(), FFTW_ESTIMATE);
}

RealFFT::~RealFFT()
{
    std::lock_guard<std::mutex> lock (plannerMutex());
    fftwf_destroy_plan (static_cast<fftwf_plan> (forwardPlan));
    fftwf_destroy_plan (static_cast<fftwf_plan> (inversePlan));
    fftwf_destroy_plan (static_cast<fftwf_plan> (inverseOutOfPlacePlan));
}

void RealFFT::forward (float* data) const noexcept
{
    fftwf_execute_dft_r2c (static_cast<fftwf_plan> (forwardPlan), data, reinterpret_cast<fftwf_complex*> (data));
}

void RealFFT::inverse (float* data) const noexcept
{
    fftwf_execute_dft_c2r (static_cast<fftwf_plan> (inversePlan), reinterpret_cast<fftwf_complex*> (data), data);
    for (int i = 0; i < size; ++i)
        data[i] *= scale;
}

void RealFFT::inverseUnscaled (float* spectrum, float* output) const noexcept
{
    fftwf_execute_dft_c2r (static_cast<fftwf_plan> (inverseOutOfPlacePlan), reinterpret_cast<fftwf_complex*> (spectrum), output);
}

} // namespace varelle
