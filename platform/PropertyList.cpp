#include "PropertyList.h"

namespace plist {

ReadResult read(Bytes bytes) {
    if (bytes.empty()) return ReadResult{};
    // Each format that fails hands over to the next, as in Foundation; an
    // XML file whose declared encoding fails goes no further. The XML reader
    // writes over the text only past the root element's open tag, and
    // OpenStep fails within the first tag, before reaching any of it.
    ReadResult first;
    if (std::string_view(bytes).compare(0, 7, "bplist0") == 0) {
        first = detail::binaryFrom(bytes);
        if (first) return first;
    }
    ReadResult xml = detail::xmlFrom(bytes);
    if (xml || xml.badEncoding) return xml;
    ReadResult openStep = detail::openStepFrom(bytes);
    if (openStep) return openStep;
    return first.error != "not read" ? std::move(first) : std::move(xml);
}

ReadResult readBinary(Bytes bytes) { return detail::binaryFrom(bytes); }
ReadResult readXml(Bytes bytes) { return detail::xmlFrom(bytes); }
ReadResult readOpenStep(Bytes bytes) { return detail::openStepFrom(bytes); }

namespace {

std::unique_ptr<Document> dictionaryOf(ReadResult result) {
    if (!result || !result.document->rootIsDictionary()) return nullptr;
    return std::move(result.document);
}

}  // namespace

std::unique_ptr<Document> readDictionary(Bytes bytes) { return dictionaryOf(read(std::move(bytes))); }

std::unique_ptr<Document> readUtf16Dictionary(Bytes text) {
    // As read() takes such a file: it is no binary file, and its encoding
    // cannot fail.
    ReadResult xml = detail::xmlFromUtf16(text);
    return dictionaryOf(xml ? std::move(xml) : detail::openStepFromUtf16(text));
}

}  // namespace plist
