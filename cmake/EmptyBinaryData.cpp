// Stands in for the embedded model when the build has no model file: no resources, so the
// plug-in runs its classical note tracker.
#include "BinaryData.h"

namespace BinaryData
{
const char* namedResourceList[] = { nullptr };
const char* originalFilenames[] = { nullptr };
const int namedResourceListSize = 0;

const char* getNamedResource (const char*, int& dataSizeInBytes)
{
    dataSizeInBytes = 0;
    return nullptr;
}

const char* getNamedResourceOriginalFilename (const char*)
{
    return nullptr;
}
} // namespace BinaryData
