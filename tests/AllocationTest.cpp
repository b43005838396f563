#include "ProcessorHarness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

// Every heap allocation in this binary passes through here. While a test counts, allocations
// made on the counting thread are recorded.
namespace
{
thread_local bool counting = false;
std::atomic<long> allocations { 0 };

void* allocate (std::size_t size)
{
    if (counting)
        allocations.fetch_add (1);
    if (void* p = std::malloc (size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

void* allocateAligned (std::size_t size, std::size_t alignment)
{
    if (counting)
        allocations.fetch_add (1);
    void* p = nullptr;
    if (posix_memalign (&p, std::max (alignment, sizeof (void*)), size == 0 ? 1 : size) != 0)
        throw std::bad_alloc();
    return p;
}

struct CountAllocations
{
    CountAllocations() { allocations = 0; counting = true; }
    ~CountAllocations() { counting = false; }
    long count() const { return allocations.load(); }
};
} // namespace

void* operator new (std::size_t size) { return allocate (size); }
void* operator new[] (std::size_t size) { return allocate (size); }
void* operator new (std::size_t size, const std::nothrow_t&) noexcept { try { return allocate (size); } catch (...) { return nullptr; } }
void* operator new[] (std::size_t size, const std::nothrow_t&) noexcept { try { return allocate (size); } catch (...) { return nullptr; } }
void* operator new (std::size_t size, std::align_val_t a) { return allocateAligned (size, (std::size_t) a); }
void* operator new[] (std::size_t size, std::align_val_t a) { return allocateAligned (size, (std::size_t) a); }
void operator delete (void* p) noexcept { std::free (p); }
void operator delete[] (void* p) noexcept { std::free (p); }
void operator delete (void* p, std::size_t) noexcept { std::free (p); }
void operator delete[] (void* p, std::size_t) noexcept { std::free (p); }
void operator delete (void* p, std::align_val_t) noexcept { std::free (p); }
void operator delete[] (void* p, std::align_val_t) noexcept { std::free (p); }
void operator delete (void* p, std::size_t, std::align_val_t) noexcept { std::free (p); }
void operator delete[] (void* p, std::size_t, std::align_val_t) noexcept { std::free (p); }

using namespace orvex::test;

namespace
{
struct Config
{
    const char* name;
    int inputChannels;
    int stereoMode;
    bool zoneFx;
};

/** Runs blocks of the given sizes with allocation counting on and returns the count. */
long countBlocks (VarelleProcessor& proc, int blocks, const std::vector<int>& sizes, bool bypassed = false,
                  std::function<void (int)> beforeBlock = {})
{
    const int largest = *std::max_element (sizes.begin(), sizes.end());
    juce::AudioBuffer<float> buffer (2, largest);
    juce::MidiBuffer midi;
    midi.ensureSize (8192);   // hosts hand over an output buffer with room for events
    const auto signal = noise (largest, 3);

    CountAllocations counter;
    for (int b = 0; b < blocks; ++b)
    {
        const int n = sizes[(size_t) b % sizes.size()];
        if (beforeBlock)
            beforeBlock (b);
        buffer.copyFrom (0, 0, signal.data(), n);
        buffer.copyFrom (1, 0, signal.data(), n);
        juce::AudioBuffer<float> view (buffer.getArrayOfWritePointers(), 2, 0, n);
        if (bypassed)
            proc.processBlockBypassed (view, midi);
        else
            proc.processBlock (view, midi);
    }
    return counter.count();
}
} // namespace

TEST (Allocations, NoneInAnyRoutingOrMode)
{
    const Config configs[] = {
        { "mono", 1, 1, false }, { "mono zones", 1, 1, true },
        { "m/s", 2, 0, false }, { "m/s zones", 2, 0, true },
        { "dual", 2, 1, false }, { "dual zones", 2, 1, true },
    };

    for (const auto& c : configs)
        for (int mode : { 0, 1, 2 })
        {
            VarelleProcessor proc;
            proc.latencyMode = mode;
            proc.setParameterPlain ("stereo_mode", (float) c.stereoMode);
            proc.setParameterPlain ("zone_fx_enabled", c.zoneFx ? 1.0f : 0.0f);
            proc.setParameterPlain ("flip_lr", 1.0f);
            proc.zoneSoloed[1] = true;
            proc.noteSoloed[0] = true;
            FakePlayHead head;
            head.playing = true;
            proc.setPlayHead (&head);
            prepare (proc, c.inputChannels, 512);

            // Includes blocks longer than prepared, tiny blocks and a transport jump.
            EXPECT_EQ (countBlocks (proc, 200, { 512, 1, 64, 1500, 333 }, false,
                                    [&head] (int b) { head.timeInSamples = (juce::int64) (b == 100 ? 10'000'000 : b * 512); }),
                       0) << c.name << ", latency mode " << mode;
            EXPECT_EQ (countBlocks (proc, 50, { 512, 7 }, true), 0) << c.name << " bypassed, latency mode " << mode;
        }
}

// A latency-mode change re-prepares on the audio thread; that must not allocate either.
TEST (Allocations, NoneWhenTheLatencyModeChanges)
{
    VarelleProcessor proc;
    prepare (proc, 2, 256);
    countBlocks (proc, 5, { 256 });

    const long count = countBlocks (proc, 120, { 256 }, false, [&proc] (int b)
    {
        if (b % 20 == 0)
        {
            proc.latencyMode = (b / 20) % 3;
            proc.latencyChangePending = true;
        }
    });
    EXPECT_EQ (count, 0);
    EXPECT_EQ (proc.getLatencySamples(), 1 << VarelleProcessor::fftOrderForLatencyMode (5 % 3));
}

// Harmony voices with the doubler, MIDI note output and zone effects all at once.
TEST (Allocations, NoneWithHarmonyDoublerAndMidi)
{
    for (bool spectral : { false, true })
    {
        VarelleProcessor proc;
        proc.setParameterPlain ("zone_fx_enabled", 1.0f);
        proc.setParameterPlain ("pan_mode", 0.0f);
        prepare (proc, 2, 512);
        proc.harmony.harmonyEnabled = true;
        proc.harmony.spectralHarmony = spectral;
        proc.harmony.doublerEnabled = true;
        for (auto& voice : proc.harmony.harmonyVoices)
            voice.enabled = true;
        proc.midiOutput.midiOutputEnabled = true;
        EXPECT_EQ (countBlocks (proc, 300, { 512, 100, 1024 }), 0) << "spectral " << spectral;
    }
}

// Guards the guard: the counter must see an allocation when one happens.
TEST (Allocations, CounterSeesAllocations)
{
    CountAllocations counter;
    std::vector<int> v (100);
    v[0] = 1;
    EXPECT_GE (counter.count(), 1);
}
