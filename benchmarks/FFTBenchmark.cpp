// The STFT's FFT back end (FFTW) against JUCE's built-in fallback FFT, in the same run: one
// forward and one inverse real transform per iteration, at the three frame sizes.

#include "BenchmarkSupport.h"
#include "RealFFT.h"

#include <juce_dsp/juce_dsp.h>

#include <iostream>
#include <random>
#include <vector>

int main()
{
    std::cout << "Real FFT, forward + inverse (microseconds per pair)\n";
    std::cout << "N       FFTW      JUCE fallback   speed-up\n";

    for (int order : { 9, 10, 12 })
    {
        const int n = 1 << order;
        const int iterations = (1 << 22) / n;

        std::mt19937 rng (1);
        std::uniform_real_distribution<float> dist (-1.0f, 1.0f);
        std::vector<float> signal ((size_t) n);
        for (auto& s : signal)
            s = dist (rng);

        varelle::RealFFT fftw (order);
        varelle::AlignedFloats a ((size_t) (2 * n));
        float sink = 0.0f;
        const double fftwSeconds = orvex::bench::bestTimeSeconds (5, [&]
        {
            for (int i = 0; i < iterations; ++i)
            {
                std::copy (signal.begin(), signal.end(), a.begin());
                fftw.forward (a.data());
                fftw.inverse (a.data());
                sink += a[1];
            }
        });

        juce::dsp::FFT juceFft (order);
        std::vector<float> b ((size_t) (2 * n));
        const double juceSeconds = orvex::bench::bestTimeSeconds (5, [&]
        {
            for (int i = 0; i < iterations; ++i)
            {
                std::copy (signal.begin(), signal.end(), b.begin());
                std::fill (b.begin() + n, b.end(), 0.0f);
                juceFft.performRealOnlyForwardTransform (b.data(), true);
                juceFft.performRealOnlyInverseTransform (b.data());
                sink += b[1];
            }
        });

        std::printf ("%-7d %-9.2f %-15.2f %.1fx\n", n, 1e6 * fftwSeconds / iterations, 1e6 * juceSeconds / iterations,
                     juceSeconds / fftwSeconds);
        if (sink == 12345.0f)
            std::cout << "";
    }
    return 0;
}
