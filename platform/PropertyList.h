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

// Like readDictionary(), but a binary file's bytes are kept and checked
// rather than built into values: the root's containers stay deferred (see
// Value::deferred()) and the writer writes them from the bytes. Other
// formats are read as readDictionary() reads them.
std::shared_ptr<Dictionary> readDictionaryKeepingBytes(std::string bytes);

// Receives the text in pieces; returns false to stop the writing.
using XmlSink = std::function<bool(std::string_view)>;

// The XML text of a dictionary. Everything that cannot be written
// faithfully is refused, with the reason in error(): what the root holds
// directly at once, a binary document's containers by check(), or by
// write() while it writes. The dictionary must outlive this and stay
// unchanged.
class XmlText {
public:
    explicit XmlText(const Dictionary& root);
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
    struct Check;
    bool writeText(const XmlSink& sink, const std::atomic<bool>* stop) const;

    const Dictionary& root_;
    std::unique_ptr<Check> check_;
    bool ok_ = false;
    std::string error_;
    std::uint64_t expected_ = 0;
};

// Serialises the dictionary as an XML property list into `out`. Fails, with
// the reason in `error`, on anything that cannot be written faithfully.
bool writeXml(const Dictionary& root, std::string& out, std::string* error = nullptr);

}  // namespace plist
