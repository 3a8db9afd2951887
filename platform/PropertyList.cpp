#include "PropertyList.h"

namespace plist {

ReadResult read(std::string_view bytes) {
    if (bytes.empty()) return ReadResult{};
    // A file that fails as binary is tried as XML, as Foundation does.
    if (bytes.substr(0, 7) == "bplist0") {
        ReadResult binary = readBinary(bytes);
        if (binary) return binary;
        ReadResult xml = readXml(bytes);
        return xml ? xml : binary;
    }
    return readXml(bytes);
}

std::shared_ptr<Dictionary> readDictionary(std::string_view bytes) {
    ReadResult result = read(bytes);
    if (!result || !result.value.is(Type::Dictionary)) return nullptr;
    // The root node is reachable only from the result, so it can be handed
    // out for editing without touching anything else.
    return result.value.dictPointer();
}

}  // namespace plist
