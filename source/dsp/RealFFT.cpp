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
    // A measured plan is about twice as fast as an estimated one for the inverse transforms
    // that dominate resynthesis; FFTW keeps what it learned, so later plans of a size come
    // quickly. Measured plans may differ between processes, so results agree to rounding.
    AlignedFloats scratch ((size_t) size + 2), output ((size_t) size + 2);
    auto* complexData = reinterpret_cast<fftwf_complex*> (scratch.data());

    // Only the out-of-place inverse runs often enough to be worth measuring (dozens of times
    // per frame); the time limit bounds how long a plug-in's first preparation can take.
    std::lock_guard<std::mutex> lock (plannerMutex());
    fftwf_set_timelimit (0.2);
    forwardPlan = fftwf_plan_dft_r2c_1d (size, scratch.data(), complexData, FFTW_ESTIMATE);
    inversePlan = fftwf_plan_dft_c2r_1d (size, complexData, scratch.data(), FFTW_ESTIMATE);
    inverseOutOfPlacePlan = fftwf_plan_dft_c2r_1d (size, complexData, output.data(), FFTW_MEASURE);
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
