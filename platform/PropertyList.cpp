#include "PropertyList.h"

#include "BinaryDocument.h"

namespace plist {

ReadResult read(std::string_view bytes) {
    if (bytes.empty()) return ReadResult{};
    // Each format that fails hands over to the next, as in Foundation; an
    // XML file whose declared encoding fails goes no further.
    ReadResult first;
    if (bytes.substr(0, 7) == "bplist0") {
        first = readBinary(bytes);
        if (first) return first;
    }
    ReadResult xml = readXml(bytes);
    if (xml || xml.badEncoding) return xml;
    ReadResult openStep = readOpenStep(bytes);
    if (openStep) return openStep;
    return first.error != "not read" ? first : xml;
}

std::shared_ptr<Dictionary> readDictionary(std::string_view bytes) {
    ReadResult result = read(bytes);
    if (!result || !result.value.is(Type::Dictionary)) return nullptr;
    // The root node is reachable only from the result, so it can be handed
    // out for editing without touching anything else.
    return result.value.dictPointer();
}

std::shared_ptr<Dictionary> readDictionaryKeepingBytes(std::string bytes) {
    // Binary first, as read() tries it; a binary file that fails goes on to
    // the other formats there too.
    if (bytes.substr(0, 7) == "bplist0") {
        if (auto doc = detail::BinaryDocument::open(bytes)) return doc->rootDictionary(doc);
        // open() has left the bytes in place.
    }
    return readDictionary(bytes);
}

}  // namespace plist
