// Reading and writing property lists in memory. Nothing here touches a file:
// the platform operations in Platform.h put these bytes on disk.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "Value.h"

namespace plist {

// Foundation refuses anything nested deeper than this, in every format; it
// also bounds the recursion of the readers and the writer.
constexpr int kMaxDepth = 512;

// Foundation's XML writer refuses a container that would appear more often
// than this, so shared sub-graphs of a binary file cannot expand
// exponentially in the XML.
constexpr std::uint64_t kMaxReferences = 1536;

// The outcome of a read. A default result is a failure; `error` and
// `offset` say what went wrong and where, for tests and debugging.
struct ReadResult {
    bool ok = false;
    Value value;
    std::string error = "not read";
    std::size_t offset = 0;
    bool badEncoding = false;  // the text's encoding, not its grammar, failed
    explicit operator bool() const { return ok; }
};

ReadResult readBinary(std::string_view bytes);
ReadResult readXml(std::string_view bytes);
ReadResult readOpenStep(std::string_view bytes);

// Every format Foundation reads, tried in Foundation's order.
ReadResult read(std::string_view bytes);

// The root dictionary of the bytes, or null when they hold none.
std::shared_ptr<Dictionary> readDictionary(std::string_view bytes);

// Serialises the dictionary as an XML property list into `out`. Fails, with
// the reason in `error`, on anything that cannot be written faithfully.
bool writeXml(const Dictionary& root, std::string& out, std::string* error = nullptr);

}  // namespace plist
