#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace varelle
{

/** One layer of the note network, as loaded from a model file. */
struct Layer
{
    enum Kind { conv2d = 0, conv1d = 1, relu = 2, maxpool2d = 3, flattenFreq = 4 };

    int kind = relu;
    int inChannels = 0, outChannels = 0;
    int kernelH = 1, kernelW = 1;   // frequency, time
    int padH = 0, padW = 0;
    int poolF = 1, poolT = 1;
    std::vector<float> weights;     // kernels (out, in, kh, kw) then biases
};

/** A parsed note network: layers in order, and the MIDI notes of its output classes. */
struct NoteModel
{
    std::vector<Layer> layers;
    int numClasses = 45;
    int lowestNote = 40;
};

/** Reads the "PNN" model format.

    Bytes: "PNN" and a version byte "1" (45 classes from MIDI 40) or "2" (i32 class count and
    i32 lowest note follow); u32 layer count; per layer a u32 name length (at most 64), the kind
    name ("conv2d", "conv1d", "relu", "maxpool2d", "flatten_freq"), a u32 parameter count (at most
    32), the i32 parameters, a u64 weight count (at most 268,435,456) and the f32 weights. All
    little-endian, no padding. Every length is checked against the data before anything of that
    size is read or allocated. */
class ModelLoader
{
public:
    enum class Result
    {
        ok,
        tooShort,
        badMagic,
        badVersion,
        truncated,
        nameTooLong,
        tooManyParameters,
        tooManyWeights,
        unknownLayer,
        wrongParameterCount,
        badShape   // the layers do not chain into a network that can run (see validate)
    };

    /** Parses a model; on failure the model is left empty. */
    static Result parse (const void* data, size_t size, NoteModel& model);

    /** Checks that a model can run on frames of inputRows frequency rows: weight counts match
        each layer's shape, channel counts chain from one input channel, every size stays
        positive, and the last layer yields one channel per class. */
    static Result validate (const NoteModel& model, int inputRows);

    static const char* describe (Result r) noexcept;
};

} // namespace varelle
