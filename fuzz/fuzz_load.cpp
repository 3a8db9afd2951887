// Any bytes as a patch-data file: the whole load, every format in turn.
#include <cstddef>
#include <cstdint>

#include "PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    plist::readDictionary(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
