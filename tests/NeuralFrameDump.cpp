// Runs a model file over audio the way the plug-in does (STFT engine frames, magnitudes,
// NeuralPitchDetector) and writes every frame's input features and centre logits, so that
// the training tools can check that they compute the same numbers.
//
//   orvex-neural-frame-dump MODEL.pnn INPUT.f32 OUTPUT.bin
//
// INPUT.f32: mono float32 samples at 44.1 kHz, raw little-endian.
// OUTPUT.bin: int32 frames, int32 bins, int32 classes; then per frame int32 frame index
// (frames since the start), bins float32 magnitudes, bins float32 features, classes float32
// centre logits (NaN until the network has seen 11 frames).

#include "NeuralPitchDetector.h"
#include "STFTEngine.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

namespace
{
std::vector<char> readAll (const char* path)
{
    std::ifstream in (path, std::ios::binary);
    return { std::istreambuf_iterator<char> (in), std::istreambuf_iterator<char>() };
}

template <typename T>
void put (std::vector<char>& out, const T* values, size_t count)
{
    const auto* bytes = reinterpret_cast<const char*> (values);
    out.insert (out.end(), bytes, bytes + sizeof (T) * count);
}
} // namespace

int main (int argc, char** argv)
{
    if (argc != 4)
    {
        std::fprintf (stderr, "usage: %s MODEL.pnn INPUT.f32 OUTPUT.bin\n", argv[0]);
        return 2;
    }

    const auto model = readAll (argv[1]);
    const auto raw = readAll (argv[2]);
    std::vector<float> audio (raw.size() / sizeof (float));
    std::copy (raw.begin(), raw.begin() + (std::ptrdiff_t) (audio.size() * sizeof (float)),
               reinterpret_cast<char*> (audio.data()));

    varelle::NeuralPitchDetector detector;
    if (detector.loadModel (model.data(), model.size()) != varelle::ModelLoader::Result::ok)
    {
        std::fprintf (stderr, "%s: not a usable model\n", argv[1]);
        return 1;
    }
    detector.prepare (44100.0, 4096);
    if (! detector.isReady())
    {
        std::fprintf (stderr, "%s: the model does not run at 4096-point frames\n", argv[1]);
        return 1;
    }

    constexpr int block = 512;
    varelle::STFTEngine engine (12);
    engine.prepare (12, block);

    const int bins = engine.getNumBins(), classes = detector.getNumClasses();
    std::vector<char> frames;
    std::vector<float> magnitudes ((size_t) bins), features ((size_t) bins), logits ((size_t) classes);
    int32_t count = 0, seen = 0;
    varelle::SeparationFrame notes;

    engine.frameCallback = [&] (const float* spectrum, int numBins, float*, varelle::ChannelMask& mask)
    {
        mask.clear();
        for (int k = 0; k < numBins; ++k)
        {
            magnitudes[(size_t) k] = std::sqrt (spectrum[2 * k] * spectrum[2 * k] + spectrum[2 * k + 1] * spectrum[2 * k + 1]);
            features[(size_t) k] = varelle::NeuralPitchDetector::feature (magnitudes[(size_t) k]);
        }
        detector.detect (magnitudes.data(), numBins, 0x0FFF, notes);
        ++seen;
        const float* centre = detector.getLogits();
        for (int c = 0; c < classes; ++c)
            logits[(size_t) c] = seen >= 11 && centre != nullptr ? centre[c] : std::numeric_limits<float>::quiet_NaN();

        const int32_t index = engine.getFrameCount();
        put (frames, &index, 1);
        put (frames, magnitudes.data(), magnitudes.size());
        put (frames, features.data(), features.size());
        put (frames, logits.data(), logits.size());
        ++count;
    };

    std::vector<std::vector<float>> outputs (varelle::STFTEngine::kNumChannels, std::vector<float> (block));
    std::vector<float*> outputPointers;
    for (auto& o : outputs)
        outputPointers.push_back (o.data());

    // The signal, then silence until its last samples have passed through a frame.
    audio.resize (audio.size() + 4096 + block, 0.0f);
    for (size_t pos = 0; pos + block <= audio.size(); pos += block)
        engine.processBlock (audio.data() + pos, outputPointers.data(), block);

    std::vector<char> out;
    const int32_t header[3] = { count, bins, classes };
    put (out, header, 3);
    out.insert (out.end(), frames.begin(), frames.end());
    std::ofstream file (argv[3], std::ios::binary);
    file.write (out.data(), (std::streamsize) out.size());
    return file.good() ? 0 : 1;
}
