#pragma once

#include "ChannelMask.h"
#include "ChordDetector.h"
#include "NeuralPitchDetector.h"
#include "NoteDetector.h"
#include "PitchTracker.h"
#include "RealFFT.h"
#include "SeparationFrame.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace varelle
{

/** Splits every STFT frame into one spectrum per piano key.

    Per frame: magnitudes, spectral centroid and the automatic engine choice, note detection
    (classical tracker, or the neural detector when one is attached and chosen), learning of the
    instrument's harmonic profile, the chord filter, then one soft mask per key built from
    harmonic templates of the sounding notes, smoothed over time and normalised so that in every
    bin the 88 key masks sum to 1. Multiplying the spectrum by each mask gives the key channels,
    which therefore add up to the input.

    Channels 0 .. 87 are the keys (MIDI 21 .. 108); channel 88 belongs to the separator but is
    always silent. Runs on the audio thread inside the STFT frame callbacks; prepare() sizes
    everything and nothing is allocated per frame. */
class NoteSeparator
{
public:
    static constexpr int kNumKeys = SeparationFrame::kNumKeys;
    static constexpr int kNumMaskChannels = 89;
    static constexpr int kMaxListedNotes = 12;
    static constexpr int kProfileHarmonics = 15;

    /** Detection engines: 0 automatic (by spectral centroid), 1 classical, 2 neural. */
    enum Engine { engineAuto = 0, engineClassical = 1, engineNeural = 2 };

    using Detector = NoteDetector;

    NoteSeparator();

    void prepare (double sampleRate, int fftSize);
    void reset() noexcept;

    /** Analyses one frame (N / 2 + 1 interleaved complex bins) and leaves the current frame,
        the masks and the channel mask ready. */
    void analyzeAndComputeMasks (const float* spectrum, int numBins) noexcept;

    /** Writes spectrum x mask into the output spectra (channel c at c x (N + 2)) for every
        flagged channel and copies the channel flags into mask. */
    void applyStoredMasks (const float* spectrum, int numBins, float* outputSpectra, ChannelMask& mask) const noexcept;

    /** The STFT engine's mono frame callback: analyse, then apply. */
    void processFrame (const float* spectrum, int numBins, float* outputSpectra, ChannelMask& mask) noexcept;

    /** The stereo frame callback: analyse the mid spectrum, apply the same masks to both sides. */
    void processStereoFrame (const float* left, const float* right, int numBins,
                             float* leftOutputSpectra, float* rightOutputSpectra, ChannelMask& mask) noexcept;

    /** The network decides for the centre of its window, a few hops older than the newest frame.
        With a look-ahead of k frames the frame callbacks keep the last k spectra and analyse,
        mask and resynthesise the one k hops old, while the network still takes in the newest:
        notes, masks and audio then all describe the same moment, and the processor's latency
        grows by k hops. 0 (the default) works on the newest frame. Clears the spectrum history
        when it changes; never allocates. */
    void setLookaheadFrames (int frames) noexcept;
    int getLookaheadFrames() const noexcept { return lookaheadFrames; }
    static constexpr int kMaxLookaheadFrames = 5;

    /** The key for the tracker and the chord filter (root -1 for none). Any thread. */
    void setKey (int root, int quality) noexcept;

    /** Release and neural settings of a detection preset. Audio thread, between frames. */
    void applyDetectionPreset (const DetectionPreset& preset) noexcept;

    /** The separator's own neural detector; it runs once a model is loaded into it. */
    NeuralPitchDetector& getNeuralDetector() noexcept { return ownNeural; }

    /** Replaces the detector used for the neural engine (tests); nullptr restores the own one. */
    void setNeuralDetector (Detector* detector) noexcept { neural = detector != nullptr ? detector : &ownNeural; }

    /** True when the neural engine can run at the prepared frame size. */
    bool isNeuralReady() const noexcept { return neural != nullptr && neural->isReady(); }

    //==============================================================================
    std::atomic<int> engineSelect { engineAuto };
    std::atomic<int> autoEngine { engineNeural };
    std::atomic<int> chordMode { 2 };   // 0 off, 1 weight masks by the chord, 2 keep only chord tones

    /** The note picture of the latest frame. */
    SeparationFrame currentFrame;
    ChordDetector chordDetector;
    ChordResult chordResult;
    PitchTracker tracker;

    float neuralOnThreshold = 0.65f, neuralOffThreshold = 0.35f;
    int neuralOnFrames = 7, neuralOffFrames = 8;

    float getCentroidAverage() const noexcept { return centroidAverage; }
    int getLastEngineUsed() const noexcept { return lastEngineUsed; }
    uint16_t getScaleMask() const noexcept { return scaleMask; }
    const ChannelMask& getChannelMask() const noexcept { return channelMask; }
    int getNumBins() const noexcept { return numBins; }
    double getSampleRate() const noexcept { return sampleRate; }

    /** Current mask of channel c (numBins values). */
    const float* getMask (int channel) const noexcept { return currentMasks + (size_t) channel * (size_t) numBins; }

    struct MaskSettings
    {
        int maxHarmonics;
        float sigmaBase, sigmaSlope, maskSmoothing;
    };
    const MaskSettings& getMaskSettings() const noexcept { return maskSettings; }
    static MaskSettings maskSettingsFor (int fftSize) noexcept;

    struct HarmonicProfile
    {
        float values[kProfileHarmonics] {};
        int count = 0;
        bool present = false;
    };
    const HarmonicProfile& getPublishedProfile() const noexcept { return publishedProfile; }

private:
    void analyze (const float* spectrum, const float* detectorSpectrum, int bins) noexcept;
    float* historySlot (int stream, int framesAgo) noexcept;
    void updateCentroid() noexcept;
    void detectNotes() noexcept;
    void learnHarmonicProfile() noexcept;
    void applyChordFilter() noexcept;
    void buildTemplateRow (float* row, float f0) const noexcept;
    void buildMasks() noexcept;

    double sampleRate = 44100.0;
    int fftSize = 4096;
    int numBins = 2049;
    float binHz = 44100.0f / 4096.0f;
    MaskSettings maskSettings { 15, 0.8f, 0.1f, 0.85f };

    uint16_t scaleMask = 0x0FFF;
    float centroidAverage = 800.0f;
    int framesSinceSwitch = 10000;
    int lastEngineUsed = engineClassical;
    NeuralPitchDetector ownNeural;
    Detector* neural = &ownNeural;

    // Chord weighting of the masks (chord mode 1).
    uint16_t chordWeightClasses = 0;
    bool chordWeighting = false;

    // Harmonic profile: running estimate and the copy the masks use.
    double profileSums[kProfileHarmonics] {};
    double profileWeightSum = 0.0;
    float learnedProfile[kProfileHarmonics] {};
    int64_t learnCount = 0;
    HarmonicProfile publishedProfile;

    std::vector<float> magnitudes;
    std::vector<float> detectorMagnitudes;   // of the newest frame, when it is not the analysed one
    const float* detectorInput = nullptr;

    // The last spectra of the analysed (mono or mid), left and right streams, for the look-ahead.
    static constexpr int kHistorySlots = kMaxLookaheadFrames + 1;
    std::vector<float> spectrumHistory;
    int historyPos = 0;
    int lookaheadFrames = 0;
    std::vector<float> templateRows;   // kMaxListedNotes x numBins
    std::vector<float> templateSum;
    std::vector<float> columnSum;
    std::vector<float> maskStore;      // two mask sets, swapped every frame
    std::vector<float> midSpectrum;
    float* currentMasks = nullptr;
    float* previousMasks = nullptr;
    ChannelMask previousFlags;
    ChannelMask channelMask;
    bool havePreviousMasks = false;

    float lastFrequency[kNumKeys] {};
    uint64_t previousKeys[2] = { 0, 0 };
    int rowKeys[kMaxListedNotes] {};   // key held by each template row
};

} // namespace varelle
