#include "NeuralPitchDetector.h"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

namespace varelle
{

namespace
{
constexpr int kNumKeys = SeparationFrame::kNumKeys;

/** Row-major C (M x N) = A (M x K) x B (K x N). */
void matmul (const float* a, const float* b, float* c, int m, int n, int k) noexcept
{
    // A single column (the dense layers of the incremental path) is a matrix-vector product:
    // sgemm would first pack the whole weight matrix, megabytes at every hop, for one use.
    if (n == 1)
        cblas_sgemv (CblasRowMajor, CblasNoTrans, m, k, 1.0f, a, k, b, 1, 0.0f, c, 1);
    else
        cblas_sgemm (CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0f, a, k, b, n, 0.0f, c, n);
}

/** One convolution on unrolled input: out (outChannels x n) = kernel (outChannels x k) x
    columns (k x n), plus each output channel's bias. weights holds the kernel, then the biases. */
void convolve (const std::vector<float>& weights, int outChannels, const float* columns, float* out, int n, int k) noexcept
{
    matmul (weights.data(), columns, out, outChannels, n, k);
    const float* bias = weights.data() + (size_t) outChannels * (size_t) k;
    for (int o = 0; o < outChannels; ++o)
    {
        float* row = out + (size_t) o * (size_t) n;
        for (int i = 0; i < n; ++i)
            row[i] += bias[o];
    }
}

void pinBlasToOneThread()
{
    // The plug-in's work runs on the host's audio thread; BLAS helper threads would only
    // compete with the host for cores.
    static std::once_flag once;
    std::call_once (once, [] { openblas_set_num_threads (1); });
}

struct Shape
{
    int channels, rows;
};
} // namespace

struct NeuralPitchDetector::Impl
{
    // Model.
    NoteModel model;
    bool loaded = false;
    bool ready = false;
    bool incremental = false;

    // Frame geometry.
    double sampleRate = 44100.0;
    int fftSize = 4096;
    int rows = 2049;

    // Feature history: 11 frames, frame-major.
    std::vector<float> history;
    int position = 0;
    int count = 0;

    // Full-window evaluation.
    std::vector<float> workA, workB, columns, output;

    // Incremental evaluation: per layer its input shape, and for convolutions a ring of the
    // last kernelW input columns.
    std::vector<Shape> inputShapes, outputShapes;
    std::vector<std::vector<float>> rings;
    std::vector<int> ringPos;
    std::vector<float> columnA, columnB, im2col;
    std::vector<float> logits;
    int sizedForRows = -1;

    // Decision.
    float onThreshold = 0.65f, offThreshold = 0.35f;
    int onFrames = 7, offFrames = 8;
    int hits[kNumKeys] {};
    int misses[kNumKeys] {};

    void sizeBuffers();
    void pushIncremental (const float* feature) noexcept;
    void evaluateFullWindow (float* logitsOut) noexcept;
    void decide (uint16_t scaleMask, SeparationFrame& frame) noexcept;
};

//==============================================================================
void NeuralPitchDetector::Impl::sizeBuffers()
{
    // Re-preparing for the same rows (a latency-mode change on the audio thread) keeps the
    // buffers; reset() clears them.
    if (sizedForRows == rows)
        return;
    sizedForRows = rows;

    // Shapes through the layers, from one channel of `rows` rows and 11 times.
    int64_t c = 1, h = rows, t = kWindowFrames;
    int64_t largest = h * t, largestColumns = 0, largestColumn = h, largestIm2col = 0;
    inputShapes.clear();
    outputShapes.clear();
    rings.clear();
    ringPos.clear();

    // The incremental path needs "same" time convolutions whose paddings add up to the centre
    // (so the centre never sees padding) and no pooling along time.
    int padSum = 0;
    bool sameTime = true;

    for (const auto& layer : model.layers)
    {
        inputShapes.push_back ({ (int) c, (int) h });
        switch (layer.kind)
        {
            case Layer::conv2d:
                largestColumns = std::max (largestColumns, t * h * layer.inChannels * layer.kernelH * layer.kernelW);
                largestIm2col = std::max (largestIm2col, h * (int64_t) layer.inChannels * layer.kernelH * layer.kernelW);
                c = layer.outChannels;
                break;
            case Layer::conv1d:
                largestColumns = std::max (largestColumns, (int64_t) layer.inChannels * t * layer.kernelW);
                largestIm2col = std::max (largestIm2col, (int64_t) layer.inChannels * layer.kernelW);
                c = layer.outChannels;
                break;
            case Layer::maxpool2d:
                h = layer.poolF > 0 ? h / layer.poolF : 0;
                t = layer.poolT > 0 ? t / layer.poolT : 0;
                sameTime = sameTime && layer.poolT == 1;
                break;
            case Layer::flattenFreq:
                c *= h;
                h = 1;
                break;
            default:
                break;
        }
        if (layer.kind == Layer::conv2d || layer.kind == Layer::conv1d)
        {
            sameTime = sameTime && layer.kernelW == 2 * layer.padW + 1;
            padSum += layer.padW;
        }
        outputShapes.push_back ({ (int) c, (int) h });
        largest = std::max (largest, c * h * t);
        largestColumn = std::max (largestColumn, c * h);
    }

    workA.assign ((size_t) largest, 0.0f);
    workB.assign ((size_t) largest, 0.0f);
    columns.assign ((size_t) largestColumns, 0.0f);
    output.assign ((size_t) model.numClasses * kWindowFrames, 0.0f);
    logits.assign ((size_t) model.numClasses, 0.0f);

    incremental = sameTime && padSum == kCentre;
    columnA.assign ((size_t) largestColumn, 0.0f);
    columnB.assign ((size_t) largestColumn, 0.0f);
    im2col.assign ((size_t) largestIm2col, 0.0f);
    for (size_t i = 0; i < model.layers.size(); ++i)
    {
        const auto& layer = model.layers[i];
        const bool conv = layer.kind == Layer::conv2d || layer.kind == Layer::conv1d;
        const auto& in = inputShapes[i];
        rings.emplace_back (conv ? (size_t) layer.kernelW * (size_t) in.channels * (size_t) in.rows : 0u, 0.0f);
        ringPos.push_back (0);
    }
}

void NeuralPitchDetector::Impl::pushIncremental (const float* feature) noexcept
{
    float* cur = columnA.data();
    float* next = columnB.data();
    std::memcpy (cur, feature, sizeof (float) * (size_t) rows);

    for (size_t i = 0; i < model.layers.size(); ++i)
    {
        const auto& layer = model.layers[i];
        const auto in = inputShapes[i];
        const auto out = outputShapes[i];
        const size_t inSize = (size_t) in.channels * (size_t) in.rows;

        switch (layer.kind)
        {
            case Layer::conv2d:
            case Layer::conv1d:
            {
                // The newest column joins the ring; slot j of the kernel reads the column j
                // steps after the oldest one kept.
                auto& ring = rings[i];
                const int kw = layer.kernelW;
                std::memcpy (ring.data() + (size_t) ringPos[i] * inSize, cur, sizeof (float) * inSize);
                const int oldest = (ringPos[i] + 1) % kw;
                ringPos[i] = oldest;

                const int kh = layer.kernelH, ph = layer.padH;
                const int k = in.channels * kh * kw;
                float* col = im2col.data();
                for (int c = 0; c < in.channels; ++c)
                    for (int di = 0; di < kh; ++di)
                        for (int j = 0; j < kw; ++j)
                        {
                            const float* src = ring.data() + (size_t) ((oldest + j) % kw) * inSize + (size_t) c * (size_t) in.rows;
                            float* dst = col + (size_t) ((c * kh + di) * kw + j) * (size_t) in.rows;
                            const int shift = di - ph;   // row r reads row r + shift
                            const int lo = std::max (0, -shift), hi = std::min (in.rows, in.rows - shift);
                            std::fill (dst, dst + lo, 0.0f);
                            if (hi > lo)
                                std::memcpy (dst + lo, src + lo + shift, sizeof (float) * (size_t) (hi - lo));
                            std::fill (dst + std::max (lo, hi), dst + in.rows, 0.0f);
                        }

                convolve (layer.weights, layer.outChannels, col, next, in.rows, k);
                std::swap (cur, next);
                break;
            }
            case Layer::relu:
                for (size_t n = 0; n < inSize; ++n)
                    cur[n] = cur[n] > 0.0f ? cur[n] : 0.0f;
                break;
            case Layer::maxpool2d:
            {
                const int pf = layer.poolF;
                for (int c = 0; c < in.channels; ++c)
                    for (int r = 0; r < out.rows; ++r)
                    {
                        float m = -std::numeric_limits<float>::infinity();
                        for (int di = 0; di < pf; ++di)
                            m = std::max (m, cur[(size_t) c * (size_t) in.rows + (size_t) (r * pf + di)]);
                        next[(size_t) c * (size_t) out.rows + (size_t) r] = m;
                    }
                std::swap (cur, next);
                break;
            }
            case Layer::flattenFreq:
            default:
                break;   // [C][H] already lies as C x H channels of one row
        }
    }

    std::memcpy (logits.data(), cur, sizeof (float) * logits.size());
}

void NeuralPitchDetector::Impl::evaluateFullWindow (float* logitsOut) noexcept
{
    // x[0][k][t] = history[(position + t) mod 11][k]: t = 0 is the oldest frame.
    float* cur = workA.data();
    float* other = workB.data();
    int c = 1, h = rows, t = kWindowFrames;
    for (int k = 0; k < rows; ++k)
        for (int ti = 0; ti < kWindowFrames; ++ti)
            cur[(size_t) k * kWindowFrames + (size_t) ti] = history[(size_t) ((position + ti) % kWindowFrames) * (size_t) rows + (size_t) k];

    for (const auto& layer : model.layers)
    {
        switch (layer.kind)
        {
            case Layer::conv2d:
            {
                const int kh = layer.kernelH, kw = layer.kernelW, k = layer.inChannels * kh * kw;
                const int n = h * t;
                for (int ci = 0; ci < layer.inChannels; ++ci)
                    for (int di = 0; di < kh; ++di)
                        for (int dj = 0; dj < kw; ++dj)
                        {
                            float* dst = columns.data() + (size_t) ((ci * kh + di) * kw + dj) * (size_t) n;
                            for (int r = 0; r < h; ++r)
                                for (int ti = 0; ti < t; ++ti)
                                {
                                    const int rr = r + di - layer.padH, tt = ti + dj - layer.padW;
                                    dst[r * t + ti] = (rr < 0 || rr >= h || tt < 0 || tt >= t) ? 0.0f : cur[((size_t) ci * h + rr) * t + tt];
                                }
                        }
                convolve (layer.weights, layer.outChannels, columns.data(), other, n, k);
                std::swap (cur, other);
                c = layer.outChannels;
                break;
            }
            case Layer::conv1d:
            {
                const int kw = layer.kernelW, k = layer.inChannels * kw;
                for (int ci = 0; ci < layer.inChannels; ++ci)
                    for (int dj = 0; dj < kw; ++dj)
                        for (int ti = 0; ti < t; ++ti)
                        {
                            const int tt = ti + dj - layer.padW;
                            columns[(size_t) (ci * kw + dj) * (size_t) t + (size_t) ti] = (tt < 0 || tt >= t) ? 0.0f : cur[(size_t) ci * t + tt];
                        }
                convolve (layer.weights, layer.outChannels, columns.data(), other, t, k);
                std::swap (cur, other);
                c = layer.outChannels;
                break;
            }
            case Layer::relu:
                for (size_t i = 0; i < (size_t) c * h * t; ++i)
                    cur[i] = cur[i] > 0.0f ? cur[i] : 0.0f;
                break;
            case Layer::maxpool2d:
            {
                const int h2 = h / layer.poolF, t2 = t / layer.poolT;
                for (int ci = 0; ci < c; ++ci)
                    for (int r = 0; r < h2; ++r)
                        for (int ti = 0; ti < t2; ++ti)
                        {
                            float m = -std::numeric_limits<float>::infinity();
                            for (int di = 0; di < layer.poolF; ++di)
                                for (int dj = 0; dj < layer.poolT; ++dj)
                                    m = std::max (m, cur[((size_t) ci * h + (size_t) (r * layer.poolF + di)) * t + (size_t) (ti * layer.poolT + dj)]);
                            other[((size_t) ci * h2 + r) * t2 + ti] = m;
                        }
                std::swap (cur, other);
                h = h2;
                t = t2;
                break;
            }
            case Layer::flattenFreq:
                c *= h;
                h = 1;
                break;
            default:
                break;
        }
    }

    std::memcpy (output.data(), cur, sizeof (float) * output.size());
    for (int i = 0; i < model.numClasses; ++i)
        logitsOut[i] = output[(size_t) i * kWindowFrames + kCentre];
}

void NeuralPitchDetector::Impl::decide (uint16_t scaleMask, SeparationFrame& frame) noexcept
{
    const DecisionSettings settings { onThreshold, offThreshold, onFrames, offFrames };
    decideFrame (logits.data(), model.numClasses, model.lowestNote, scaleMask, settings, hits, misses, frame);
}

void NeuralPitchDetector::decideFrame (const float* logits, int numClasses, int lowestNote, uint16_t scaleMask,
                                       const DecisionSettings& s, int* hits, int* misses, SeparationFrame& frame) noexcept
{
    frame.clear();
    const bool keyed = scaleMask != 0x0FFF;
    auto inScale = [scaleMask] (int key) { return ((scaleMask >> ((key + 21) % 12)) & 1u) != 0; };

    for (int i = 0; i < numClasses; ++i)
    {
        const int midi = lowestNote + i;
        const int key = midi - 21;
        if (key < 0 || key >= kNumKeys)
            continue;

        float p = 1.0f / (1.0f + std::exp (-logits[i]));
        if (keyed && ! inScale (key))
        {
            p *= 0.2f;
            // Classes run upwards: the lower neighbour's counters already include this frame.
            const bool heldNeighbour = (key > 0 && inScale (key - 1) && hits[key - 1] >= s.onFrames)
                                    || (key < kNumKeys - 1 && inScale (key + 1) && hits[key + 1] >= s.onFrames);
            if (heldNeighbour)
                p *= 0.3f;
        }

        // Starting a note needs more than keeping it.
        const float threshold = hits[key] < s.onFrames ? s.onThreshold : s.offThreshold;
        if (p >= threshold)
        {
            ++hits[key];
            misses[key] = 0;
        }
        else if (misses[key]++ >= s.offFrames)
        {
            hits[key] = 0;
        }

        if (hits[key] >= s.onFrames && misses[key] <= s.offFrames)
            frame.activate (key, 440.0f * std::pow (2.0f, (float) (midi - 69) / 12.0f), p > 0.0f ? p : 1.0f);
    }
}

//==============================================================================
NeuralPitchDetector::NeuralPitchDetector() : impl (std::make_unique<Impl>()) {}
NeuralPitchDetector::~NeuralPitchDetector() = default;

float NeuralPitchDetector::feature (float magnitude) noexcept
{
    return std::log (1.0f + 100.0f * magnitude);
}

ModelLoader::Result NeuralPitchDetector::loadModel (const void* data, size_t size)
{
    impl->loaded = false;
    impl->ready = false;

    NoteModel model;
    auto result = ModelLoader::parse (data, size, model);
    // A model that cannot run on the frames it was made for is refused here rather than run.
    if (result == ModelLoader::Result::ok)
        result = ModelLoader::validate (model, kModelFftSize / 2 + 1);
    if (result != ModelLoader::Result::ok)
    {
        impl->model = NoteModel {};
        return result;
    }

    pinBlasToOneThread();
    impl->model = std::move (model);
    impl->loaded = true;
    impl->sizedForRows = -1;
    prepare (impl->sampleRate, impl->fftSize);
    return result;
}

bool NeuralPitchDetector::isLoaded() const noexcept { return impl->loaded; }
bool NeuralPitchDetector::isReady() const noexcept { return impl->loaded && impl->ready; }
bool NeuralPitchDetector::isIncremental() const noexcept { return impl->incremental; }

void NeuralPitchDetector::prepare (double sampleRate, int fftSize)
{
    impl->sampleRate = sampleRate;
    impl->fftSize = fftSize;
    impl->rows = fftSize / 2 + 1;
    impl->history.assign ((size_t) kWindowFrames * (size_t) impl->rows, 0.0f);
    impl->position = 0;
    impl->count = 0;

    // The network runs only at frame sizes whose rows it was made for; elsewhere its notes
    // would mean nothing and the classical tracker takes over.
    impl->ready = impl->loaded && ModelLoader::validate (impl->model, impl->rows) == ModelLoader::Result::ok;
    if (impl->ready)
        impl->sizeBuffers();
    reset();
}

void NeuralPitchDetector::reset() noexcept
{
    std::fill (impl->history.begin(), impl->history.end(), 0.0f);
    impl->position = 0;
    impl->count = 0;
    std::fill (impl->output.begin(), impl->output.end(), 0.0f);
    std::fill (impl->logits.begin(), impl->logits.end(), 0.0f);
    for (auto& ring : impl->rings)
        std::fill (ring.begin(), ring.end(), 0.0f);
    std::fill (impl->ringPos.begin(), impl->ringPos.end(), 0);
    std::fill (std::begin (impl->hits), std::end (impl->hits), 0);
    std::fill (std::begin (impl->misses), std::end (impl->misses), 0);
}

void NeuralPitchDetector::setDecisionSettings (float onThreshold, float offThreshold, int onFrames, int offFrames) noexcept
{
    impl->onThreshold = onThreshold;
    impl->offThreshold = offThreshold;
    impl->onFrames = onFrames;
    impl->offFrames = offFrames;
}

void NeuralPitchDetector::detect (const float* magnitudes, int numBins, uint16_t scaleMask, SeparationFrame& frame) noexcept
{
    auto& d = *impl;
    if (! isReady())
    {
        frame.clear();
        return;
    }

    float* slot = d.history.data() + (size_t) d.position * (size_t) d.rows;
    const int n = std::min (d.rows, numBins);
    for (int k = 0; k < n; ++k)
        slot[k] = feature (magnitudes[k]);
    std::fill (slot + n, slot + d.rows, 0.0f);
    d.position = (d.position + 1) % kWindowFrames;
    d.count = std::min (d.count + 1, kWindowFrames);

    if (d.incremental)
        d.pushIncremental (slot);

    if (d.count < kWindowFrames)
    {
        frame.clear();
        return;
    }

    if (! d.incremental)
        d.evaluateFullWindow (d.logits.data());

    d.decide (scaleMask, frame);
}

int NeuralPitchDetector::getNumClasses() const noexcept { return impl->model.numClasses; }
int NeuralPitchDetector::getLowestNote() const noexcept { return impl->model.lowestNote; }
const float* NeuralPitchDetector::getLogits() const noexcept { return impl->logits.data(); }
int NeuralPitchDetector::getHits (int key) const noexcept { return key >= 0 && key < kNumKeys ? impl->hits[key] : 0; }
int NeuralPitchDetector::getMisses (int key) const noexcept { return key >= 0 && key < kNumKeys ? impl->misses[key] : 0; }

void NeuralPitchDetector::computeFullWindowLogits (float* logitsOut)
{
    if (isReady())
        impl->evaluateFullWindow (logitsOut);
}

} // namespace varelle
