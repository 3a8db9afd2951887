// Whatever loads, written out as a binary file and as XML, reads from both
// to the same value and the same verdict, and writes the same bytes from
// both, with and without the tool's key set.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Bplist.h"
#include "PropertyList.h"
#include "Values.h"

namespace {

struct Outcome {
    bool written = false;
    std::string text;
    bool operator!=(const Outcome& o) const { return written != o.written || text != o.text; }
};

Outcome outcome(plist::Document& doc, bool edit) {
    if (edit) doc.set("ApplicationRunningPrompt", plist::Scalar::boolean(true));
    Outcome o;
    o.written = plist::writeXml(doc, o.text);
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto doc = plist::readDictionary(std::string(reinterpret_cast<const char*>(data), size));
    if (!doc) return 0;
    std::string xml;
    if (!plist::writeXml(*doc, xml)) return 0;
    plist::Value value = plist::valueOf(*doc);
    std::string binary = Bplist::of(value);
    for (bool edit : {false, true}) {
        auto fromBinary = plist::readDictionary(binary);
        auto fromXml = plist::readDictionary(xml);
        if (!fromBinary || !fromXml) std::abort();
        if (plist::valueOf(*fromBinary) != value) std::abort();
        if (outcome(*fromBinary, edit) != outcome(*fromXml, edit)) std::abort();
    }
    return 0;
}
