#pragma once

namespace BinaryData
{
extern const char* namedResourceList[];
extern const char* originalFilenames[];
extern const int namedResourceListSize;
const char* getNamedResource (const char* resourceNameUTF8, int& dataSizeInBytes);
const char* getNamedResourceOriginalFilename (const char* resourceNameUTF8);
} // namespace BinaryData
