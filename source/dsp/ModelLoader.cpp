#include "ModelLoader.h"

#include <cstring>
#include <string>

namespace varelle
{

namespace
{
constexpr uint32_t kMaxNameLength = 64;
constexpr uint32_t kMaxParameters = 32;
constexpr uint64_t kMaxWeights = 268435456ull;
constexpr int64_t kMaxTensorFloats = (int64_t) 1 << 26;

/** Little-endian reader that never reads past the end. */
class Reader
{
public:
    Reader (const uint8_t* d, size_t n) : data (d), size (n) {}

    bool canRead (uint64_t bytes) const noexcept { return bytes <= size - pos; }

    bool u32 (uint32_t& v) noexcept
    {
        if (! canRead (4))
            return false;
        v = (uint32_t) data[pos] | ((uint32_t) data[pos + 1] << 8) | ((uint32_t) data[pos + 2] << 16) | ((uint32_t) data[pos + 3] << 24);
        pos += 4;
        return true;
    }

    bool i32 (int32_t& v) noexcept
    {
        uint32_t u = 0;
        if (! u32 (u))
            return false;
        std::memcpy (&v, &u, 4);
        return true;
    }

    bool u64 (uint64_t& v) noexcept
    {
        uint32_t lo = 0, hi = 0;
        if (! canRead (8) || ! u32 (lo) || ! u32 (hi))
            return false;
        v = (uint64_t) lo | ((uint64_t) hi << 32);
        return true;
    }

    bool bytes (void* out, size_t n) noexcept
    {
        if (! canRead (n))
            return false;
        std::memcpy (out, data + pos, n);
        pos += n;
        return true;
    }

    void skip (size_t n) noexcept { pos += n; }
    size_t position() const noexcept { return pos; }

private:
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
};

bool isLittleEndian()
{
    const uint16_t probe = 1;
    uint8_t first = 0;
    std::memcpy (&first, &probe, 1);
    return first == 1;
}
} // namespace

ModelLoader::Result ModelLoader::parse (const void* rawData, size_t size, NoteModel& model)
{
    model = NoteModel {};
    if (rawData == nullptr || size < 4)
        return Result::tooShort;

    const auto* data = static_cast<const uint8_t*> (rawData);
    if (data[0] != 'P' || data[1] != 'N' || data[2] != 'N')
        return Result::badMagic;

    Reader reader (data, size);
    reader.skip (4);

    NoteModel parsed;
    if (data[3] == '1')
    {
        parsed.numClasses = 45;
        parsed.lowestNote = 40;
    }
    else if (data[3] == '2')
    {
        if (size < 12)
            return Result::tooShort;
        int32_t classes = 0, lowest = 0;
        reader.i32 (classes);
        reader.i32 (lowest);
        parsed.numClasses = classes;
        parsed.lowestNote = lowest;
    }
    else
    {
        return Result::badVersion;
    }

    uint32_t layerCount = 0;
    if (! reader.u32 (layerCount))
        return Result::truncated;

    for (uint32_t l = 0; l < layerCount; ++l)
    {
        uint32_t nameLength = 0;
        if (! reader.u32 (nameLength))
            return Result::truncated;
        if (nameLength > kMaxNameLength)
            return Result::nameTooLong;

        char name[kMaxNameLength + 1] {};
        if (! reader.bytes (name, nameLength))
            return Result::truncated;
        const std::string kind (name, nameLength);

        uint32_t paramCount = 0;
        if (! reader.u32 (paramCount))
            return Result::truncated;
        if (paramCount > kMaxParameters)
            return Result::tooManyParameters;

        int32_t params[kMaxParameters] {};
        for (uint32_t p = 0; p < paramCount; ++p)
            if (! reader.i32 (params[p]))
                return Result::truncated;

        uint64_t weightCount = 0;
        if (! reader.u64 (weightCount))
            return Result::truncated;
        if (weightCount > kMaxWeights)
            return Result::tooManyWeights;
        if (! reader.canRead (weightCount * 4))
            return Result::truncated;

        Layer layer;
        if (kind == "conv2d")
        {
            if (paramCount != 6)
                return Result::wrongParameterCount;
            layer.kind = Layer::conv2d;
            layer.inChannels = params[0];
            layer.outChannels = params[1];
            layer.kernelH = params[2];
            layer.kernelW = params[3];
            layer.padH = params[4];
            layer.padW = params[5];
        }
        else if (kind == "conv1d")
        {
            if (paramCount != 4)
                return Result::wrongParameterCount;
            layer.kind = Layer::conv1d;
            layer.inChannels = params[0];
            layer.outChannels = params[1];
            layer.kernelH = 1;
            layer.kernelW = params[2];
            layer.padH = 0;
            layer.padW = params[3];
        }
        else if (kind == "relu")
        {
            layer.kind = Layer::relu;
        }
        else if (kind == "maxpool2d")
        {
            if (paramCount != 2)
                return Result::wrongParameterCount;
            layer.kind = Layer::maxpool2d;
            layer.poolF = params[0];
            layer.poolT = params[1];
        }
        else if (kind == "flatten_freq")
        {
            layer.kind = Layer::flattenFreq;
        }
        else
        {
            return Result::unknownLayer;
        }

        if (weightCount > 0)
        {
            layer.weights.resize ((size_t) weightCount);
            reader.bytes (layer.weights.data(), (size_t) weightCount * 4);
            if (! isLittleEndian())
                for (auto& w : layer.weights)
                {
                    uint32_t u = 0;
                    std::memcpy (&u, &w, 4);
                    u = (u >> 24) | ((u >> 8) & 0xFF00u) | ((u << 8) & 0xFF0000u) | (u << 24);
                    std::memcpy (&w, &u, 4);
                }
        }

        parsed.layers.push_back (std::move (layer));
    }

    model = std::move (parsed);
    return Result::ok;
}

ModelLoader::Result ModelLoader::validate (const NoteModel& model, int inputRows)
{
    if (model.numClasses < 1 || inputRows < 1)
        return Result::badShape;

    int64_t channels = 1, rows = inputRows, times = 11;
    for (const auto& layer : model.layers)
    {
        switch (layer.kind)
        {
            case Layer::conv2d:
            case Layer::conv1d:
            {
                if (layer.kind == Layer::conv1d && rows != 1)
                    return Result::badShape;
                if (layer.inChannels != channels || layer.outChannels < 1 || layer.kernelH < 1 || layer.kernelW < 1
                    || layer.padH < 0 || layer.padW < 0 || layer.padH >= layer.kernelH || layer.padW >= layer.kernelW)
                    return Result::badShape;
                // The kernel's value count, multiplied up factor by factor: no factor and no
                // partial product may exceed the weights there are, so nothing overflows.
                const auto available = (int64_t) layer.weights.size();
                int64_t kernelValues = 1;
                for (int factor : { layer.outChannels, layer.inChannels, layer.kernelH, layer.kernelW })
                {
                    kernelValues *= factor;
                    if (kernelValues > available)
                        return Result::badShape;
                }
                if (available != kernelValues + layer.outChannels)
                    return Result::badShape;
                // The unrolled input of the convolution (one column per output position) must
                // stay within the same bound as the activations.
                if ((kernelValues / layer.outChannels) * rows * times > kMaxTensorFloats)
                    return Result::badShape;
                channels = layer.outChannels;
                break;
            }
            case Layer::relu:
                break;
            case Layer::maxpool2d:
                if (layer.poolF < 1 || layer.poolT < 1)
                    return Result::badShape;
                rows /= layer.poolF;
                times /= layer.poolT;
                break;
            case Layer::flattenFreq:
                channels *= rows;
                rows = 1;
                break;
            default:
                return Result::badShape;
        }

        // Each factor is checked on its own first, so that the product cannot overflow.
        if (channels < 1 || rows < 1 || times < 1 || channels > kMaxTensorFloats || rows > kMaxTensorFloats
            || times > kMaxTensorFloats || channels * rows > kMaxTensorFloats / times)
            return Result::badShape;
    }

    // One value per class for the centre of the 11-frame window.
    if (channels != model.numClasses || rows != 1 || times != 11)
        return Result::badShape;
    return Result::ok;
}

const char* ModelLoader::describe (Result r) noexcept
{
    switch (r)
    {
        case Result::ok: return "ok";
        case Result::tooShort: return "too short";
        case Result::badMagic: return "not a PNN model";
        case Result::badVersion: return "unknown PNN version";
        case Result::truncated: return "truncated";
        case Result::nameTooLong: return "layer name longer than 64 bytes";
        case Result::tooManyParameters: return "more than 32 layer parameters";
        case Result::tooManyWeights: return "more than 268,435,456 weights";
        case Result::unknownLayer: return "unknown layer kind";
        case Result::wrongParameterCount: return "wrong number of layer parameters";
        case Result::badShape: return "layer shapes do not chain";
    }
    return "";
}

} // namespace varelle
