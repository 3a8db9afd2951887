// A file loaded with its bytes kept, as the tool loads it, gives the same
// verdicts and the same text as one built into values: as loaded, with the
// tool's key set, and with a container of the root replaced.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "PropertyList.h"

namespace {

struct Outcome {
    bool loaded = false, written = false;
    std::string text;
    bool operator!=(const Outcome& o) const { return loaded != o.loaded || written != o.written || text != o.text; }
};

Outcome outcome(std::shared_ptr<plist::Dictionary> d, int edit) {
    Outcome o;
    if (!d) return o;
    o.loaded = true;
    if (edit == 1) d->set("ApplicationRunningPrompt", plist::Value::boolean(true));
    if (edit == 2)
        for (auto& e : d->entries)
            if (e.second.is(plist::Type::Array) || e.second.is(plist::Type::Dictionary)) {
                e.second = plist::Value::integer(0);
                break;
            }
    o.written = plist::writeXml(*d, o.text);
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    for (int edit = 0; edit < 3; ++edit)
        if (outcome(plist::readDictionaryKeepingBytes(bytes), edit) != outcome(plist::readDictionary(bytes), edit))
            std::abort();
    return 0;
}
