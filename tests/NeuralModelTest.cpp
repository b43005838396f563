#include "ModelLoader.h"
#include "NeuralPitchDetector.h"
#include "NoteSeparator.h"
#include "RealFFT.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using varelle::Layer;
using varelle::ModelLoader;
using varelle::NeuralPitchDetector;
using varelle::NoteModel;
using Result = varelle::ModelLoader::Result;

namespace
{
/** Writes model files byte by byte, so tests can also write broken ones. */
struct ModelBytes
{
    std::vector<uint8_t> bytes;

    explicit ModelBytes (const char* magic = "PNN1") { raw (magic, 4); }

    void raw (const void* p, size_t n) { bytes.insert (bytes.end(), (const uint8_t*) p, (const uint8_t*) p + n); }
    void u32 (uint32_t v) { for (int i = 0; i < 4; ++i) bytes.push_back ((uint8_t) (v >> (8 * i))); }
    void u64 (uint64_t v) { for (int i = 0; i < 8; ++i) bytes.push_back ((uint8_t) (v >> (8 * i))); }
    void f32 (float f) { uint32_t u; std::memcpy (&u, &f, 4); u32 (u); }

    void layer (const std::string& name, const std::vector<int>& params, const std::vector<float>& weights)
    {
        u32 ((uint32_t) name.size());
        raw (name.data(), name.size());
        u32 ((uint32_t) params.size());
        for (int p : params)
            u32 ((uint32_t) p);
        u64 (weights.size());
        for (float w : weights)
            f32 (w);
    }
};

std::vector<float> randomWeights (size_t n, float scale, std::mt19937& rng)
{
    std::normal_distribution<float> dist (0.0f, scale);
    std::vector<float> w (n);
    for (auto& x : w)
        x = dist (rng);
    return w;
}

/** A network of the shipped structure with few channels: four 3 x 3 convolutions with pooling
    (2049 rows down to 64), flattening, a 3-tap and a 1-tap 1-D convolution to 45 classes. */
ModelBytes smallModel (unsigned seed, int width = 3, float finalBias = -1.0f)
{
    std::mt19937 rng (seed);
    ModelBytes m;
    m.u32 (16);
    int in = 1;
    const int pools[] = { 2, 2, 2, 4 };
    for (int pool : pools)
    {
        auto w = randomWeights ((size_t) (width * in * 9), std::sqrt (2.0f / (in * 9.0f)), rng);
        for (int o = 0; o < width; ++o)
            w.push_back (0.05f);
        m.layer ("conv2d", { in, width, 3, 3, 1, 1 }, w);
        m.layer ("relu", {}, {});
        m.layer ("maxpool2d", { pool, 1 }, {});
        in = width;
    }
    m.layer ("flatten_freq", {}, {});
    const int flat = width * 64;
    auto w1 = randomWeights ((size_t) (8 * flat * 3), std::sqrt (2.0f / (flat * 3.0f)), rng);
    for (int o = 0; o < 8; ++o)
        w1.push_back (0.0f);
    m.layer ("conv1d", { flat, 8, 3, 1 }, w1);
    m.layer ("relu", {}, {});
    auto w2 = randomWeights ((size_t) (45 * 8), 0.5f, rng);
    for (int o = 0; o < 45; ++o)
        w2.push_back (finalBias);
    m.layer ("conv1d", { 8, 45, 1, 0 }, w2);
    return m;
}

Result parse (const ModelBytes& m, NoteModel& model) { return ModelLoader::parse (m.bytes.data(), m.bytes.size(), model); }

/** Magnitude spectra of a plucked-tone signal, frame by frame, as the STFT engine makes them. */
std::vector<std::vector<float>> spectraOf (int frames, unsigned seed)
{
    const int n = 4096, hop = 1024;
    std::mt19937 rng (seed);
    std::vector<float> signal ((size_t) (n + frames * hop), 0.0f);
    for (int note = 0; note < 6; ++note)
    {
        const double f = 110.0 * std::pow (2.0, (rng() % 24) / 12.0);
        const size_t start = (size_t) (rng() % (signal.size() / 2));
        for (size_t i = start; i < signal.size(); ++i)
            for (int h = 1; h <= 6; ++h)
                signal[i] += (float) (0.1 / h * std::exp (-(double) (i - start) / 30000.0) * std::sin (2 * M_PI * f * h * (double) i / 44100.0));
    }

    varelle::RealFFT fft (12);
    varelle::AlignedFloats buf ((size_t) (2 * n));
    std::vector<std::vector<float>> out;
    for (int fr = 0; fr < frames; ++fr)
    {
        for (int i = 0; i < n; ++i)
            buf[(size_t) i] = signal[(size_t) (fr * hop + i)] * (float) (0.5 * (1.0 - std::cos (2.0 * M_PI * i / n)));
        fft.forward (buf.data());
        std::vector<float> mag (2049);
        for (int k = 0; k < 2049; ++k)
            mag[(size_t) k] = std::sqrt (buf[(size_t) (2 * k)] * buf[(size_t) (2 * k)] + buf[(size_t) (2 * k + 1)] * buf[(size_t) (2 * k + 1)]);
        out.push_back (std::move (mag));
    }
    return out;
}
} // namespace

//==============================================================================
TEST (ModelLoader, RejectsMalformedFiles)
{
    NoteModel model;
    auto with = [] (auto&& build) { ModelBytes m; build (m); return m; };

    struct Case { const char* what; ModelBytes bytes; Result expected; };
    std::vector<Case> cases;
    cases.push_back ({ "three bytes", ModelBytes ("PNN"), Result::tooShort });
    cases.back().bytes.bytes.resize (3);
    cases.push_back ({ "not PNN", ModelBytes ("PXN1"), Result::badMagic });
    cases.push_back ({ "version 3", ModelBytes ("PNN3"), Result::badVersion });
    {
        ModelBytes v2 ("PNN2");
        v2.u32 (88);
        v2.bytes.resize (11);
        cases.push_back ({ "version 2 of 11 bytes", v2, Result::tooShort });
    }
    cases.push_back ({ "no layer count", ModelBytes(), Result::truncated });
    cases.push_back ({ "name of 65 bytes", with ([] (ModelBytes& m) { m.u32 (1); m.layer (std::string (65, 'x'), {}, {}); }), Result::nameTooLong });
    cases.push_back ({ "33 parameters", with ([] (ModelBytes& m) { m.u32 (1); m.layer ("relu", std::vector<int> (33, 1), {}); }), Result::tooManyParameters });
    cases.push_back ({ "268,435,457 weights", with ([] (ModelBytes& m)
    {
        m.u32 (1);
        m.u32 (4);
        m.raw ("relu", 4);
        m.u32 (0);
        m.u64 (268435457ull);
    }), Result::tooManyWeights });
    cases.push_back ({ "weights claimed but absent", with ([] (ModelBytes& m)
    {
        m.u32 (1);
        m.u32 (4);
        m.raw ("relu", 4);
        m.u32 (0);
        m.u64 (268435456ull);   // allowed count, but the data is not there: nothing is allocated
    }), Result::truncated });
    cases.push_back ({ "unknown kind", with ([] (ModelBytes& m) { m.u32 (1); m.layer ("conv3d", {}, {}); }), Result::unknownLayer });
    cases.push_back ({ "kind matched by full name", with ([] (ModelBytes& m) { m.u32 (1); m.layer ("reluX", {}, {}); }), Result::unknownLayer });
    cases.push_back ({ "conv2d with 5 parameters", with ([] (ModelBytes& m) { m.u32 (1); m.layer ("conv2d", { 1, 1, 1, 1, 0 }, { 1, 0 }); }), Result::wrongParameterCount });
    cases.push_back ({ "conv1d with 3 parameters", with ([] (ModelBytes& m) { m.u32 (1); m.layer ("conv1d", { 1, 1, 1 }, { 1, 0 }); }), Result::wrongParameterCount });
    cases.push_back ({ "maxpool2d with 1 parameter", with ([] (ModelBytes& m) { m.u32 (1); m.layer ("maxpool2d", { 2 }, {}); }), Result::wrongParameterCount });

    for (auto& c : cases)
        EXPECT_EQ (parse (c.bytes, model), c.expected) << c.what;

    // Truncated inside the weights of the last layer.
    auto full = smallModel (1);
    auto cut = full;
    cut.bytes.resize (cut.bytes.size() - 7);
    EXPECT_EQ (parse (cut, model), Result::truncated);
    EXPECT_TRUE (model.layers.empty());
    EXPECT_EQ (parse (full, model), Result::ok);
}

TEST (ModelLoader, AcceptsWhatItCanReadAndChecksShapes)
{
    NoteModel model;

    // "relu" ignores parameters; bytes after the last layer are ignored.
    ModelBytes relu;
    relu.u32 (1);
    relu.layer ("relu", { 1, 2, 3 }, {});
    relu.raw ("trailing", 8);
    ASSERT_EQ (parse (relu, model), Result::ok);
    ASSERT_EQ (model.layers.size(), 1u);
    EXPECT_EQ (model.layers[0].kind, Layer::relu);

    // An empty network parses but cannot run.
    ModelBytes empty;
    empty.u32 (0);
    EXPECT_EQ (parse (empty, model), Result::ok);
    EXPECT_EQ (ModelLoader::validate (model, 2049), Result::badShape);

    // The shipped structure runs at 2049 rows (N = 4096) and at no other frame size.
    ASSERT_EQ (parse (smallModel (2), model), Result::ok);
    EXPECT_EQ (model.layers.size(), 16u);
    EXPECT_EQ (model.numClasses, 45);
    EXPECT_EQ (model.lowestNote, 40);
    EXPECT_EQ (model.layers[12].kind, Layer::flattenFreq);
    EXPECT_EQ (model.layers[13].kernelW, 3);
    EXPECT_EQ (model.layers[13].padW, 1);
    EXPECT_EQ (model.layers[13].kernelH, 1);
    EXPECT_EQ (ModelLoader::validate (model, 2049), Result::ok);
    EXPECT_EQ (ModelLoader::validate (model, 513), Result::badShape);
    EXPECT_EQ (ModelLoader::validate (model, 257), Result::badShape);

    // Weight counts must match the shapes; channels must chain; the last layer gives the classes.
    auto broken = model;
    broken.layers[3].weights.pop_back();
    EXPECT_EQ (ModelLoader::validate (broken, 2049), Result::badShape);
    broken = model;
    broken.layers[3].inChannels = 5;
    EXPECT_EQ (ModelLoader::validate (broken, 2049), Result::badShape);
    broken = model;
    broken.numClasses = 44;
    EXPECT_EQ (ModelLoader::validate (broken, 2049), Result::badShape);
}

TEST (ModelLoader, VersionTwoHeaderSetsTheClasses)
{
    // 88 classes from MIDI 21: the outputs map to every piano key.
    ModelBytes m ("PNN2");
    m.u32 (88);
    m.u32 (21);
    m.u32 (2);
    m.layer ("flatten_freq", {}, {});   // one channel of one row, mapped to 88 classes
    std::vector<float> w (88, 0.0f);
    w.resize (88 + 88, 3.0f);
    m.layer ("conv1d", { 1, 88, 1, 0 }, w);

    NoteModel model;
    ASSERT_EQ (parse (m, model), Result::ok);
    EXPECT_EQ (model.numClasses, 88);
    EXPECT_EQ (model.lowestNote, 21);
    EXPECT_EQ (ModelLoader::validate (model, 1), Result::ok);

    // Every key decides from its own class: all 88 start after the on-frames.
    std::vector<float> logits (88, 3.0f);   // p = 0.953
    int hits[88] {}, misses[88] {};
    varelle::SeparationFrame frame;
    NeuralPitchDetector::DecisionSettings s;
    for (int f = 0; f < 7; ++f)
        NeuralPitchDetector::decideFrame (logits.data(), 88, 21, 0x0FFF, s, hits, misses, frame);
    EXPECT_EQ (frame.activeCount, 88);
    EXPECT_EQ (frame.notes[0].midiNote, 21);
    EXPECT_NEAR (frame.notes[87].frequency, 4186.01f, 0.01f);
}

//==============================================================================
TEST (NeuralDecision, HysteresisAndPresets)
{
    NeuralPitchDetector::DecisionSettings guitar;   // 0.65 / 0.35, 7 / 8
    std::vector<float> logits (45, -10.0f);
    int hits[88] {}, misses[88] {};
    varelle::SeparationFrame frame;
    const int key = 64 - 21;
    auto logitFor = [] (double p) { return (float) std::log (p / (1.0 - p)); };

    // Exactly the threshold counts as above it; a note needs 7 frames above 0.65.
    logits[64 - 40] = logitFor (0.65) + 1e-6f;
    for (int f = 1; f <= 7; ++f)
    {
        NeuralPitchDetector::decideFrame (logits.data(), 45, 40, 0x0FFF, guitar, hits, misses, frame);
        EXPECT_EQ (frame.isActive (key), f == 7) << "frame " << f;
    }
    EXPECT_NEAR (frame.notes[key].confidence, 0.65f, 1e-5);
    EXPECT_EQ (frame.notes[key].midiNote, 64);

    // Once started, 0.4 keeps it (off-threshold 0.35).
    logits[64 - 40] = logitFor (0.4);
    NeuralPitchDetector::decideFrame (logits.data(), 45, 40, 0x0FFF, guitar, hits, misses, frame);
    EXPECT_TRUE (frame.isActive (key));

    // Percussive preset: a held note survives 4 frames below 0.5 and is gone at the fifth.
    const NeuralPitchDetector::DecisionSettings percussive { 0.70f, 0.50f, 3, 4 };
    int h[88] {}, m[88] {};
    logits[64 - 40] = logitFor (0.9);
    for (int f = 0; f < 5; ++f)
        NeuralPitchDetector::decideFrame (logits.data(), 45, 40, 0x0FFF, percussive, h, m, frame);
    ASSERT_TRUE (frame.isActive (key));
    logits[64 - 40] = logitFor (0.3);
    for (int f = 1; f <= 5; ++f)
    {
        NeuralPitchDetector::decideFrame (logits.data(), 45, 40, 0x0FFF, percussive, h, m, frame);
        EXPECT_EQ (frame.isActive (key), f <= 4) << "frame " << f << " below 0.5";
    }
}

TEST (NeuralDecision, KeyBias)
{
    // C major: a C# at p = 0.9 becomes 0.18; next to a held in-scale D (or C) it becomes 0.054.
    const uint16_t cMajor = varelle::scaleMaskForKey (0, 0);
    NeuralPitchDetector::DecisionSettings s;
    s.onFrames = 1;
    s.onThreshold = 0.01f;   // the damped C# still counts, so its confidence shows the bias
    std::vector<float> logits (45, -30.0f);
    const float p9 = (float) std::log (0.9 / 0.1);
    const int cSharp = 61;
    logits[cSharp - 40] = p9;

    int hits[88] {}, misses[88] {};
    varelle::SeparationFrame frame;
    NeuralPitchDetector::decideFrame (logits.data(), 45, 40, cMajor, s, hits, misses, frame);
    EXPECT_NEAR (frame.notes[cSharp - 21].confidence, 0.18f, 1e-5);

    logits[62 - 40] = p9;   // D held above it
    int hits2[88] {}, misses2[88] {};
    hits2[62 - 21] = 1;     // already held from the previous frame
    NeuralPitchDetector::decideFrame (logits.data(), 45, 40, cMajor, s, hits2, misses2, frame);
    EXPECT_NEAR (frame.notes[cSharp - 21].confidence, 0.054f, 1e-5);

    // With the real on-threshold 0.65 neither starts a note.
    NeuralPitchDetector::DecisionSettings guitar;
    int hits3[88] {}, misses3[88] {};
    for (int f = 0; f < 10; ++f)
        NeuralPitchDetector::decideFrame (logits.data(), 45, 40, cMajor, guitar, hits3, misses3, frame);
    EXPECT_FALSE (frame.isActive (cSharp - 21));
    EXPECT_TRUE (frame.isActive (62 - 21));
}

//==============================================================================
// The incremental evaluation gives the full 11-frame evaluation's centre values, right from
// the first frame that can decide after a reset, and after re-preparation.
TEST (NeuralPitchDetector, IncrementalEqualsFullWindow)
{
    const auto bytes = smallModel (7, 4, 0.0f);
    NeuralPitchDetector detector;
    ASSERT_EQ (detector.loadModel (bytes.bytes.data(), bytes.bytes.size()), Result::ok);
    detector.prepare (44100.0, 4096);
    ASSERT_TRUE (detector.isReady());
    ASSERT_TRUE (detector.isIncremental());

    const auto spectra = spectraOf (40, 3);
    std::vector<float> full (45);
    varelle::SeparationFrame frame;

    auto runAndCompare = [&] (int from, int to)
    {
        for (int f = from; f < to; ++f)
        {
            detector.detect (spectra[(size_t) f].data(), 2049, 0x0FFF, frame);
            if (f - from + 1 < 11)
            {
                EXPECT_EQ (frame.activeCount, 0) << "no notes before the window is full";
                continue;
            }
            detector.computeFullWindowLogits (full.data());
            for (int i = 0; i < 45; ++i)
                ASSERT_NEAR (detector.getLogits()[i], full[(size_t) i], 1e-4 * (1.0 + std::abs (full[(size_t) i]))) << "frame " << f << " class " << i;
        }
    };

    runAndCompare (0, 25);
    detector.reset();
    runAndCompare (25, 40);
    detector.prepare (44100.0, 4096);
    runAndCompare (3, 20);
}

TEST (NeuralPitchDetector, RefusesOtherFrameSizes)
{
    const auto bytes = smallModel (8);
    NeuralPitchDetector detector;
    ASSERT_EQ (detector.loadModel (bytes.bytes.data(), bytes.bytes.size()), Result::ok);
    for (int n : { 512, 1024 })
    {
        detector.prepare (44100.0, n);
        EXPECT_TRUE (detector.isLoaded());
        EXPECT_FALSE (detector.isReady()) << n;
    }
    detector.prepare (44100.0, 4096);
    EXPECT_TRUE (detector.isReady());

    // A model whose shapes do not chain is refused when it is loaded: here the header promises
    // 44 classes and the last layer gives 45.
    ModelBytes wrongClasses ("PNN2");
    wrongClasses.u32 (44);
    wrongClasses.u32 (40);
    auto tail = smallModel (9);
    wrongClasses.raw (tail.bytes.data() + 4, tail.bytes.size() - 4);
    NeuralPitchDetector refused;
    EXPECT_EQ (refused.loadModel (wrongClasses.bytes.data(), wrongClasses.bytes.size()), Result::badShape);
    EXPECT_FALSE (refused.isLoaded());
}

// In the separator the network stands in for the tracker when chosen; without a usable model
// the classical tracker runs.
TEST (NeuralPitchDetector, RunsInsideTheSeparator)
{
    const auto bytes = smallModel (10);
    varelle::NoteSeparator sep;
    sep.engineSelect = varelle::NoteSeparator::engineNeural;
    sep.prepare (44100.0, 4096);
    EXPECT_FALSE (sep.isNeuralReady());

    ASSERT_EQ (sep.getNeuralDetector().loadModel (bytes.bytes.data(), bytes.bytes.size()), Result::ok);
    sep.prepare (44100.0, 4096);
    EXPECT_TRUE (sep.isNeuralReady());

    std::vector<float> spectrum (2 * 2049, 0.01f);
    sep.analyzeAndComputeMasks (spectrum.data(), 2049);
    EXPECT_EQ (sep.getLastEngineUsed(), varelle::NoteSeparator::engineNeural);

    sep.prepare (44100.0, 1024);
    EXPECT_FALSE (sep.isNeuralReady());
    std::vector<float> small (2 * 513, 0.01f);
    sep.analyzeAndComputeMasks (small.data(), 513);
    EXPECT_EQ (sep.getLastEngineUsed(), varelle::NoteSeparator::engineClassical);
}
