#pragma once

#include <chrono>
#include <cstdio>

namespace orvex::bench
{

/** Seconds of wall time for fn(), taking the best of a few repetitions. */
template <typename Fn>
double bestTimeSeconds (int repetitions, Fn&& fn)
{
    double best = 1e30;
    for (int r = 0; r < repetitions; ++r)
    {
        const auto start = std::chrono::steady_clock::now();
        fn();
        const double s = std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();
        best = s < best ? s : best;
    }
    return best;
}

} // namespace orvex::bench
