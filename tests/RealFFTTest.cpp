#include "RealFFT.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using varelle::AlignedFloats;
using varelle::RealFFT;

// The spectrum layout every consumer relies on: N / 2 + 1 interleaved (re, im) bins, DC first,
// unscaled forward transform, inverse normalised by 1 / N.
TEST (RealFFT, MatchesDirectDFTLayoutAndScale)
{
    for (int order : { 3, 6, 9 })
    {
        RealFFT fft (order);
        const int n = 1 << order;
        std::mt19937 rng (order);
        std::uniform_real_distribution<float> dist (-1.0f, 1.0f);

        AlignedFloats x ((size_t) n + 2), data ((size_t) n + 2);
        for (int i = 0; i < n; ++i)
            x[(size_t) i] = data[(size_t) i] = dist (rng);

        fft.forward (data.data());

        for (int k = 0; k <= n / 2; ++k)
        {
            double re = 0, im = 0;
            for (int i = 0; i < n; ++i)
            {
                re += x[(size_t) i] * std::cos (2.0 * M_PI * k * i / n);
                im -= x[(size_t) i] * std::sin (2.0 * M_PI * k * i / n);
            }
            EXPECT_NEAR (data[(size_t) (2 * k)], re, 1e-4 * n) << "order " << order << " bin " << k;
            EXPECT_NEAR (data[(size_t) (2 * k + 1)], im, 1e-4 * n) << "order " << order << " bin " << k;
        }

        fft.inverse (data.data());
        for (int i = 0; i < n; ++i)
            EXPECT_NEAR (data[(size_t) i], x[(size_t) i], 1e-5f);
    }
}
