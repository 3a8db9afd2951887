// Any bytes through the openstep reader: no crash, no hang, bounded memory.
#include <cstddef>
#include <cstdint>

#include "PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    plist::readOpenStep(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
