// Cost of the neural note detector per analysis hop at N = 4096 (hop 1024, 44.1 kHz): the
// incremental evaluation the plug-in runs against a full 11-frame evaluation of the network,
// both with the embedded model, in the same run.

#include "BenchmarkSupport.h"
#include "NeuralPitchDetector.h"

#include <BinaryData.h>

#include <cmath>
#include <iostream>
#include <random>
#include <vector>

int main()
{
    int size = 0;
    const char* data = BinaryData::getNamedResource ("universal_aug_pnn", size);
    varelle::NeuralPitchDetector detector;
    if (data == nullptr || detector.loadModel (data, (size_t) size) != varelle::ModelLoader::Result::ok)
    {
        std::cout << "no usable embedded model\n";
        return 1;
    }
    detector.prepare (44100.0, 4096);

    std::mt19937 rng (3);
    std::uniform_real_distribution<float> dist (0.0f, 2.0f);
    std::vector<std::vector<float>> frames (64, std::vector<float> (2049));
    for (auto& f : frames)
        for (auto& m : f)
            m = dist (rng);

    varelle::SeparationFrame frame;
    const int hops = 400;
    for (int i = 0; i < 20; ++i)
        detector.detect (frames[(size_t) i % frames.size()].data(), 2049, 0x0FFF, frame);

    const double incremental = orvex::bench::bestTimeSeconds (3, [&]
    {
        for (int i = 0; i < hops; ++i)
            detector.detect (frames[(size_t) i % frames.size()].data(), 2049, 0x0FFF, frame);
    }) / hops;

    std::vector<float> logits ((size_t) detector.getNumClasses());
    const int fullHops = 20;
    const double full = orvex::bench::bestTimeSeconds (2, [&]
    {
        for (int i = 0; i < fullHops; ++i)
            detector.computeFullWindowLogits (logits.data());
    }) / fullHops;

    const double hopSeconds = 1024.0 / 44100.0;
    std::printf ("neural detector per hop (N 4096, hop 1024, 44.1 kHz)\n");
    std::printf ("incremental   %8.3f ms   %6.2f %% of one core\n", 1e3 * incremental, 100.0 * incremental / hopSeconds);
    std::printf ("full window   %8.3f ms   %6.2f %% of one core\n", 1e3 * full, 100.0 * full / hopSeconds);
    std::printf ("speed-up      %8.1fx\n", full / incremental);
    return 0;
}
