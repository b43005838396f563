#pragma once

#include "ModelLoader.h"
#include "NoteDetector.h"

#include <memory>

namespace varelle
{

/** The learned note detector: a small convolutional network over the log-magnitude spectra of
    the last 11 STFT frames, deciding which notes sound in the centre frame (five hops before
    the newest). Per key, a start needs several frames above an on-threshold and a note ends
    after several frames below an off-threshold; keys outside the current key are damped as in
    the classical tracker.

    The network is evaluated incrementally: every layer of the shipped shape keeps the columns
    it computed at earlier hops and adds exactly one new time column per hop, which gives the
    centre value of the full 11-frame evaluation at a ninth of its cost. Matrix products run
    through the platform BLAS (cblas_sgemm). prepare() sizes everything; detect() allocates
    nothing. */
class NeuralPitchDetector : public NoteDetector
{
public:
    static constexpr int kWindowFrames = 11;
    static constexpr int kCentre = 5;
    /** The frame size the network's input rows were made for (2049 rows). */
    static constexpr int kModelFftSize = 4096;

    NeuralPitchDetector();
    ~NeuralPitchDetector() override;

    /** Parses and checks a model (see ModelLoader); on failure nothing is loaded. */
    ModelLoader::Result loadModel (const void* data, size_t size);

    bool isLoaded() const noexcept;

    /** Loaded and able to run at the prepared frame size (the model's input rows). */
    bool isReady() const noexcept override;

    void prepare (double sampleRate, int fftSize) override;
    void reset() noexcept override;
    void detect (const float* magnitudes, int numBins, uint16_t scaleMask, SeparationFrame& frame) noexcept override;

    void setDecisionSettings (float onThreshold, float offThreshold, int onFrames, int offFrames) noexcept;

    int getNumClasses() const noexcept;
    int getLowestNote() const noexcept;

    /** The centre logits of the latest frame (numClasses values); valid once 11 frames were seen. */
    const float* getLogits() const noexcept;

    /** Evaluates the whole 11-frame window from the feature history, as the network is defined,
        into logitsOut (numClasses values). For checks of the incremental path; not real-time. */
    void computeFullWindowLogits (float* logitsOut);

    /** Whether the incremental path applies to the loaded model (otherwise every hop evaluates
        the full window). */
    bool isIncremental() const noexcept;

    int getHits (int key) const noexcept;
    int getMisses (int key) const noexcept;

    /** Input feature of one magnitude: ln(1 + 100 |X|). */
    static float feature (float magnitude) noexcept;

    struct DecisionSettings
    {
        float onThreshold = 0.65f, offThreshold = 0.35f;
        int onFrames = 7, offFrames = 8;
    };

    /** Turns one frame's logits into sounding keys with per-key hysteresis and the key bias;
        hits and misses hold 88 counters each and carry over between frames. */
    static void decideFrame (const float* logits, int numClasses, int lowestNote, uint16_t scaleMask,
                             const DecisionSettings& settings, int* hits, int* misses, SeparationFrame& frame) noexcept;

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

} // namespace varelle
