// Reading and writing property lists in memory. Nothing here touches a file:
// the platform operations in Platform.h put these bytes on disk.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "Document.h"

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
    std::unique_ptr<Document> document;
    std::string error = "not read";
    std::size_t offset = 0;
    bool badEncoding = false;  // the text's encoding, not its grammar, failed
    explicit operator bool() const { return ok; }
};

// Each reader keeps the bytes in the document it makes (a binary file's
// objects are its bytes; an XML text's objects are written over it as it
// is read), so they are taken rather than copied.
ReadResult readBinary(Bytes bytes);
ReadResult readXml(Bytes bytes);
ReadResult readOpenStep(Bytes bytes);

// Every format Foundation reads, tried in Foundation's order.
ReadResult read(Bytes bytes);

// The document of the bytes, or null when they hold no root dictionary.
std::unique_ptr<Document> readDictionary(Bytes bytes);
// The same for a UTF-16 file, given as the UTF-8 it was converted to as it
// was read (see encoding::Utf16Converter).
std::unique_ptr<Document> readUtf16Dictionary(Bytes text);

namespace detail {
// The readers, taking the bytes only where they succeed, so that the next
// format can be tried on them. The XML reader writes over what it has read
// of the root element's content, which the next format never reaches.
ReadResult binaryFrom(Bytes& bytes);
ReadResult xmlFrom(Bytes& bytes);
ReadResult openStepFrom(Bytes& bytes);
// The same for a UTF-16 file's text, converted.
ReadResult xmlFromUtf16(Bytes& text);
ReadResult openStepFromUtf16(Bytes& text);
class Entries;
}  // namespace detail

// Receives the text in pieces; returns false to stop the writing.
using XmlSink = std::function<bool(std::string_view)>;

// The XML text of a document whose root is a dictionary, its edits made.
// Everything that cannot be written faithfully is refused, with the reason
// in error(): a small document's at once, a large one's by check(), or by
// write() while it writes. The document must outlive this and stay
// unchanged.
class XmlText {
public:
    explicit XmlText(const Document& document);
    ~XmlText();
    XmlText(const XmlText&) = delete;
    XmlText& operator=(const XmlText&) = delete;

    explicit operator bool() const { return ok_; }
    const std::string& error() const { return error_; }

    // Finishes the check; false where it fails.
    bool check();
    // Roughly how many bytes the text takes, once checked.
    std::uint64_t expectedSize() const { return expected_; }

    // Hands the text to the sink in pieces of at most a few hundred
    // kilobytes (a longer string or data in one). If the check is not
    // finished, it is finished alongside, on a thread of its own. False
    // when the check fails (what the sink was given is then to be thrown
    // away) or when the sink stops the writing.
    bool write(const XmlSink& sink);

private:
    bool writeText(const XmlSink& sink, const std::atomic<bool>* stop) const;

    const Document& doc_;
    // The root's entries, which the check and the writer share: for a root
    // of many keys, as much memory as much of the rest.
    std::unique_ptr<detail::Entries> root_;
    bool ok_ = false;
    bool checked_ = false;
    std::string error_;
    std::uint64_t expected_ = 0;
};

// Serialises the document as an XML property list into `out`. Fails, with
// the reason in `error`, on anything that cannot be written faithfully.
bool writeXml(const Document& document, std::string& out, std::string* error = nullptr);

}  // namespace plist
