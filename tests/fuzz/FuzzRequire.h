#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant names itself, then aborts; libFuzzer stores the input that got there.
#define REQUIRE(condition) \
    do { \
        if (! (condition)) \
        { \
            std::fprintf (stderr, "invariant failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort(); \
        } \
    } while (false)
