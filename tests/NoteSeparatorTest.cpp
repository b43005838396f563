#include "NoteSeparator.h"
#include "RealFFT.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using varelle::ChannelMask;
using varelle::NoteSeparator;

namespace
{
constexpr double kRate = 44100.0;

double midiHz (int m) { return 440.0 * std::pow (2.0, (m - 69) / 12.0); }

/** Guitar-like tones: harmonics with falling amplitudes. */
std::vector<float> tones (const std::vector<int>& midiNotes, int length, float level = 0.2f, int offset = 0)
{
    std::vector<float> x ((size_t) length, 0.0f);
    for (int m : midiNotes)
        for (int h = 1; h <= 10; ++h)
        {
            const double f = h * midiHz (m);
            if (f > 0.45 * kRate)
                break;
            for (int i = 0; i < length; ++i)
                x[(size_t) i] += level / (float) h * (float) std::sin (2.0 * M_PI * f * (i + offset) / kRate + 0.3 * h);
        }
    return x;
}

/** The frame spectrum as the STFT engine makes it: periodic Hann window, unscaled transform. */
struct SpectrumMaker
{
    explicit SpectrumMaker (int order) : fft (order), n (1 << order), data ((size_t) (2 * n)) {}

    const float* operator() (const std::vector<float>& signal, int start = 0)
    {
        for (int i = 0; i < n; ++i)
        {
            const float w = (float) (0.5 * (1.0 - std::cos (2.0 * M_PI * i / n)));
            data[(size_t) i] = signal[(size_t) (start + i)] * w;
        }
        std::fill (data.begin() + n, data.end(), 0.0f);
        fft.forward (data.data());
        return data.data();
    }

    varelle::RealFFT fft;
    int n;
    varelle::AlignedFloats data;
};

/** Runs frames of a signal through the separator, hop by hop. */
void runFrames (NoteSeparator& sep, SpectrumMaker& spectra, const std::vector<float>& signal, int frames, int hop)
{
    for (int f = 0; f < frames; ++f)
        sep.analyzeAndComputeMasks (spectra (signal, f * hop), spectra.n / 2 + 1);
}

double largestSumError (const NoteSeparator& sep)
{
    double worst = 0;
    for (int k = 0; k < sep.getNumBins(); ++k)
    {
        double sum = 0;
        for (int c = 0; c < NoteSeparator::kNumKeys; ++c)
            sum += sep.getMask (c)[k];
        worst = std::max (worst, std::abs (sum - 1.0));
    }
    return worst;
}

int binOf (double hz) { return (int) std::lround (hz / (kRate / 4096)); }
} // namespace

TEST (NoteSeparator, MaskSettingsPerFrameSize)
{
    struct Case { int n; int harmonics; float sigmaBase, sigmaSlope, smoothing; };
    const Case cases[] = { { 4096, 15, 0.8f, 0.1f, 0.85f }, { 1024, 10, 3.2f, 0.4f, 0.955f }, { 512, 6, 6.4f, 0.8f, 0.97f } };
    for (const auto& c : cases)
    {
        const auto s = NoteSeparator::maskSettingsFor (c.n);
        EXPECT_EQ (s.maxHarmonics, c.harmonics) << c.n;
        EXPECT_FLOAT_EQ (s.sigmaBase, c.sigmaBase) << c.n;
        EXPECT_FLOAT_EQ (s.sigmaSlope, c.sigmaSlope) << c.n;
        EXPECT_NEAR (s.maskSmoothing, c.smoothing, 1e-6) << c.n;
    }
}

// Before any note every key carries an equal share; channel 88 never carries anything.
TEST (NoteSeparator, SilenceBeforeAnyNoteSharesEvenly)
{
    NoteSeparator sep;
    sep.prepare (kRate, 4096);
    SpectrumMaker spectra (12);
    runFrames (sep, spectra, std::vector<float> (4096 * 3, 0.0f), 5, 1024);

    for (int c = 0; c < NoteSeparator::kNumKeys; ++c)
        for (int k = 0; k < sep.getNumBins(); k += 97)
            ASSERT_NEAR (sep.getMask (c)[k], 0.011363637f, 1e-7);
    EXPECT_EQ (sep.getMask (88)[100], 0.0f);
    EXPECT_FALSE (sep.getChannelMask().test (88));
    EXPECT_TRUE (sep.getChannelMask().test (0));
    EXPECT_TRUE (sep.getChannelMask().test (87));
}

// A sustained note owns its harmonics; the masks of all keys still sum to 1 in every bin.
TEST (NoteSeparator, SingleNoteOwnsItsHarmonics)
{
    NoteSeparator sep;
    sep.prepare (kRate, 4096);
    SpectrumMaker spectra (12);
    const auto signal = tones ({ 57 }, 4096 + 30 * 1024);   // A3, 220 Hz
    runFrames (sep, spectra, signal, 30, 1024);

    ASSERT_TRUE (sep.currentFrame.isActive (57 - 21));
    EXPECT_EQ (sep.currentFrame.activeCount, 1);
    for (int h : { 1, 2, 3, 5 })
    {
        const int bin = binOf (220.0 * h);
        EXPECT_GT (sep.getMask (57 - 21)[bin], 0.95f) << "harmonic " << h;
        EXPECT_LT (sep.getMask (45 - 21)[bin], 0.02f) << "harmonic " << h;
    }
    EXPECT_LT (largestSumError (sep), 1e-5);
    EXPECT_FALSE (sep.getChannelMask().test (88));
}

// After the last note ends, the masks keep the shape of the last notes instead of falling
// back to an even share.
TEST (NoteSeparator, MasksHoldTheLastNotesAfterTheyEnd)
{
    NoteSeparator sep;
    sep.prepare (kRate, 4096);
    SpectrumMaker spectra (12);
    auto signal = tones ({ 64 }, 4096 + 20 * 1024);
    signal.resize (signal.size() + 40 * 1024, 0.0f);
    runFrames (sep, spectra, signal, 60, 1024);

    EXPECT_EQ (sep.currentFrame.activeCount, 0);
    EXPECT_GT (sep.getMask (64 - 21)[binOf (329.63)], 0.9f);
    EXPECT_LT (largestSumError (sep), 1e-5);
}

// A key that starts sounding gets its fresh mask at once, not a smoothed blend with the old
// one; a held key's mask moves by the smoothing factor.
TEST (NoteSeparator, NewNotesAreNotSmoothed)
{
    NoteSeparator sep;
    sep.prepare (kRate, 4096);
    SpectrumMaker spectra (12);
    const auto first = tones ({ 48 }, 4096 + 20 * 1024);
    runFrames (sep, spectra, first, 20, 1024);
    ASSERT_TRUE (sep.currentFrame.isActive (48 - 21));

    // Add F#4 (370 Hz, clear of C3's harmonics) and step frame by frame until it appears.
    const auto both = tones ({ 48, 66 }, 4096 + 20 * 1024);
    int frame = 0;
    while (! sep.currentFrame.isActive (66 - 21) && frame < 10)
        sep.analyzeAndComputeMasks (spectra (both, (frame++) * 1024), 2049);
    ASSERT_TRUE (sep.currentFrame.isActive (66 - 21));

    // In that bin the keys that held it before keep 0.85 of their shares for now, so the
    // fresh mask (1.0 there) ends at 1 / 1.85 after normalisation. Blended with its own
    // previous (zero) mask by the smoothing factor it would have ended at 0.15.
    EXPECT_NEAR (sep.getMask (66 - 21)[binOf (midiHz (66))], 1.0f / 1.85f, 0.03f);
}

// Chord mode 2 keeps only chord tones: with C, E, G and F# detected, the F# goes.
TEST (NoteSeparator, ChordFilterKeepsChordTones)
{
    for (int mode : { 0, 2 })
    {
        NoteSeparator sep;
        sep.chordMode = mode;
        sep.prepare (kRate, 4096);
        SpectrumMaker spectra (12);
        const auto signal = tones ({ 60, 64, 66, 67 }, 4096 + 30 * 1024, 0.15f);
        runFrames (sep, spectra, signal, 30, 1024);

        EXPECT_TRUE (sep.currentFrame.isActive (60 - 21));
        EXPECT_TRUE (sep.currentFrame.isActive (64 - 21));
        EXPECT_TRUE (sep.currentFrame.isActive (67 - 21));
        EXPECT_EQ (sep.currentFrame.isActive (66 - 21), mode == 0) << "chord mode " << mode;
        if (mode == 2)
        {
            EXPECT_EQ (sep.chordResult.root, 0);
            EXPECT_EQ (sep.chordResult.type, 1);
        }
    }
}

// With a key set, an out-of-scale note competes with a third of an in-scale note's weight
// (0.5 against 1.5) in the bins that two notes share.
TEST (NoteSeparator, KeyWeightsOutOfScaleNotes)
{
    auto shareOfSharedBin = [] (int keyRoot)
    {
        NoteSeparator sep;
        sep.chordMode = 0;
        sep.setKey (keyRoot, 0);
        sep.prepare (kRate, 4096);
        SpectrumMaker spectra (12);
        // C4's second harmonic (523 Hz) and C#5 (554 Hz) overlap in the bins between them.
        auto signal = tones ({ 60 }, 4096 + 40 * 1024, 0.1f);
        const auto sharp = tones ({ 73 }, 4096 + 40 * 1024, 0.3f);
        for (size_t i = 0; i < signal.size(); ++i)
            signal[i] += sharp[i];
        runFrames (sep, spectra, signal, 40, 1024);
        EXPECT_TRUE (sep.currentFrame.isActive (60 - 21));
        EXPECT_TRUE (sep.currentFrame.isActive (73 - 21));
        const int bin = binOf (538.0);
        return sep.getMask (73 - 21)[bin] / (sep.getMask (73 - 21)[bin] + sep.getMask (60 - 21)[bin]);
    };

    const float neutral = shareOfSharedBin (-1);
    const float inCMajor = shareOfSharedBin (0);
    EXPECT_LT (inCMajor, neutral * 0.9f);
}

TEST (NoteSeparator, ApplyStoredMasks)
{
    NoteSeparator sep;
    sep.prepare (kRate, 512);
    SpectrumMaker spectra (9);
    const auto signal = tones ({ 69 }, 512 + 60 * 128);
    runFrames (sep, spectra, signal, 60, 128);

    const float* spectrum = spectra (signal, 59 * 128);
    std::vector<float> out ((size_t) NoteSeparator::kNumMaskChannels * 514, -7.0f);
    ChannelMask mask;
    sep.applyStoredMasks (spectrum, 257, out.data(), mask);
    EXPECT_EQ (mask, sep.getChannelMask());

    // Per channel and bin: spectrum x mask; the flagged channels add up to the spectrum.
    for (size_t k = 0; k < 257; ++k)
    {
        double re = 0, im = 0;
        for (size_t c = 0; c < NoteSeparator::kNumMaskChannels; ++c)
            if (mask.test ((int) c))
            {
                re += out[c * 514 + 2 * k];
                im += out[c * 514 + 2 * k + 1];
            }
        ASSERT_NEAR (re, spectrum[2 * k], 1e-4 * (1 + std::abs (spectrum[2 * k])));
        ASSERT_NEAR (im, spectrum[2 * k + 1], 1e-4 * (1 + std::abs (spectrum[2 * k + 1])));
    }
    EXPECT_EQ (out[(size_t) 88 * 514], -7.0f);   // channel 88 untouched

    // With no bins only the channel flags are copied.
    std::vector<float> untouched (out.size(), 3.0f);
    ChannelMask flags;
    sep.applyStoredMasks (spectrum, 0, untouched.data(), flags);
    EXPECT_EQ (flags, sep.getChannelMask());
    EXPECT_EQ (untouched[0], 3.0f);
}

// Reset clears the history (no masks until the next analysis) but keeps the learned profile,
// the key and the engine settings.
TEST (NoteSeparator, ResetScope)
{
    NoteSeparator sep;
    sep.setKey (7, 0);
    sep.engineSelect = NoteSeparator::engineClassical;
    sep.prepare (kRate, 4096);
    SpectrumMaker spectra (12);
    const auto signal = tones ({ 55 }, 4096 + 40 * 1024);
    runFrames (sep, spectra, signal, 40, 1024);
    ASSERT_TRUE (sep.getPublishedProfile().present);
    const float profile2 = sep.getPublishedProfile().values[1];

    sep.reset();
    EXPECT_EQ (sep.currentFrame.activeCount, 0);
    EXPECT_TRUE (sep.getChannelMask().isEmpty());
    EXPECT_TRUE (sep.getPublishedProfile().present);
    EXPECT_EQ (sep.getPublishedProfile().values[1], profile2);
    EXPECT_EQ (sep.tracker.keyRoot.load(), 7);
    EXPECT_EQ (sep.engineSelect.load(), NoteSeparator::engineClassical);

    std::vector<float> out ((size_t) NoteSeparator::kNumMaskChannels * 4098, 0.0f);
    ChannelMask mask;
    mask.set (5);
    sep.applyStoredMasks (spectra (signal, 0), 2049, out.data(), mask);
    EXPECT_TRUE (mask.isEmpty());

    // The first frame after a reset starts from an even share.
    sep.analyzeAndComputeMasks (spectra (std::vector<float> (4096, 0.0f)), 2049);
    EXPECT_NEAR (sep.getMask (10)[300], 0.011363637f, 1e-7);
}

// The harmonic profile is learned from the detected notes and published once enough notes
// were seen; a tone with a strong second harmonic teaches a strong second harmonic.
TEST (NoteSeparator, LearnsTheHarmonicProfile)
{
    NoteSeparator sep;
    sep.prepare (kRate, 4096);
    SpectrumMaker spectra (12);
    std::vector<float> signal ((size_t) (4096 + 40 * 1024));
    for (size_t i = 0; i < signal.size(); ++i)
    {
        const double t = (double) i / kRate;
        signal[i] = (float) (0.2 * std::sin (2 * M_PI * 196.0 * t) + 0.3 * std::sin (2 * M_PI * 392.0 * t)
                             + 0.05 * std::sin (2 * M_PI * 588.0 * t));
    }

    runFrames (sep, spectra, signal, 8, 1024);
    EXPECT_FALSE (sep.getPublishedProfile().present);
    runFrames (sep, spectra, signal, 40, 1024);
    const auto& profile = sep.getPublishedProfile();
    ASSERT_TRUE (profile.present);
    EXPECT_EQ (profile.count, 15);
    EXPECT_NEAR (profile.values[0], 1.0f, 1e-6);
    EXPECT_NEAR (profile.values[1], 1.5f, 0.15f);
    EXPECT_NEAR (profile.values[2], 0.25f, 0.05f);
}

// The automatic engine follows the spectral centroid, at most every 86 frames; without a
// neural detector the classical tracker runs whatever the choice.
TEST (NoteSeparator, AutomaticEngineFollowsTheCentroid)
{
    struct FakeNeural : NoteSeparator::Detector
    {
        int calls = 0;
        bool isReady() const noexcept override { return true; }
        void prepare (double, int) override {}
        void reset() noexcept override {}
        void detect (const float*, int, uint16_t, varelle::SeparationFrame& frame) noexcept override
        {
            ++calls;
            frame.clear();
        }
    } neural;

    NoteSeparator sep;
    sep.prepare (kRate, 4096);
    SpectrumMaker spectra (12);
    // A 50 Hz hum: its spectral centroid lies far below 130 Hz.
    std::vector<float> bass ((size_t) (4096 + 200 * 1024));
    for (size_t i = 0; i < bass.size(); ++i)
        bass[i] = 0.3f * (float) std::sin (2.0 * M_PI * 50.0 * (double) i / kRate);

    runFrames (sep, spectra, bass, 3, 1024);
    EXPECT_EQ (sep.getLastEngineUsed(), NoteSeparator::engineClassical);   // no detector attached

    sep.setNeuralDetector (&neural);
    runFrames (sep, spectra, bass, 1, 1024);
    EXPECT_EQ (sep.getLastEngineUsed(), NoteSeparator::engineNeural);

    runFrames (sep, spectra, bass, 150, 1024);
    EXPECT_LT (sep.getCentroidAverage(), 130.0f);
    EXPECT_EQ (sep.autoEngine.load(), NoteSeparator::engineClassical);
    EXPECT_EQ (sep.getLastEngineUsed(), NoteSeparator::engineClassical);

    // A fixed choice overrides the automatic one.
    sep.engineSelect = NoteSeparator::engineNeural;
    const int before = neural.calls;
    runFrames (sep, spectra, bass, 1, 1024);
    EXPECT_EQ (neural.calls, before + 1);
}
