#pragma once

#include <cstdio>
#include <ctime>

namespace orvex::bench
{

/** CPU time of the calling thread, in seconds. Unlike wall time it does not count the time
    other processes on a busy machine take, so ratios stay comparable between runs. */
inline double threadCpuSeconds()
{
    timespec ts {};
    clock_gettime (CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double) ts.tv_sec + 1e-9 * (double) ts.tv_nsec;
}

/** Seconds of CPU time for fn(), taking the best of a few repetitions. */
template <typename Fn>
double bestTimeSeconds (int repetitions, Fn&& fn)
{
    double best = 1e30;
    for (int r = 0; r < repetitions; ++r)
    {
        const double start = threadCpuSeconds();
        fn();
        const double s = threadCpuSeconds() - start;
        best = s < best ? s : best;
    }
    return best;
}

} // namespace orvex::bench
