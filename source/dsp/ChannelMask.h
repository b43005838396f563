#pragma once

#include <cstdint>

namespace varelle
{

/** One flag per STFT output channel (0 .. 100): the channels that carry a spectrum in a frame.
    Channel c is bit (c mod 64) of word (c div 64); bits 101 .. 127 always stay clear. */
struct ChannelMask
{
    static constexpr int kNumChannels = 101;

    uint64_t words[2] = { 0, 0 };

    void clear() noexcept { words[0] = words[1] = 0; }

    void set (int channel) noexcept
    {
        if (channel >= 0 && channel < kNumChannels)
            words[channel >> 6] |= (uint64_t) 1 << (channel & 63);
    }

    void reset (int channel) noexcept
    {
        if (channel >= 0 && channel < kNumChannels)
            words[channel >> 6] &= ~((uint64_t) 1 << (channel & 63));
    }

    bool test (int channel) const noexcept
    {
        return channel >= 0 && channel < kNumChannels
            && ((words[channel >> 6] >> (channel & 63)) & 1u) != 0;
    }

    bool isEmpty() const noexcept { return (words[0] | words[1]) == 0; }

    bool operator== (const ChannelMask& o) const noexcept { return words[0] == o.words[0] && words[1] == o.words[1]; }
    bool operator!= (const ChannelMask& o) const noexcept { return ! (*this == o); }
};

} // namespace varelle
