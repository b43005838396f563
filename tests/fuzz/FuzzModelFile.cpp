// libFuzzer target: arbitrary bytes as a note-network model file. Parsing and shape checks
// must never crash, read out of bounds or allocate beyond what the data holds; a model that
// loads must run on a frame without trouble.

#include "ModelLoader.h"
#include "NeuralPitchDetector.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    varelle::NoteModel model;
    if (varelle::ModelLoader::parse (data, size, model) == varelle::ModelLoader::Result::ok)
    {
        for (int rows : { 1, 2049 })
            varelle::ModelLoader::validate (model, rows);
    }

    // Loading checks the shapes; a loaded model runs.
    static varelle::NeuralPitchDetector detector;
    if (detector.loadModel (data, size) == varelle::ModelLoader::Result::ok)
    {
        detector.prepare (44100.0, 4096);
        static std::vector<float> magnitudes (2049, 0.5f);
        varelle::SeparationFrame frame;
        for (int i = 0; i < 12; ++i)
            detector.detect (magnitudes.data(), 2049, 0x0FFF, frame);
    }
    return 0;
}
