// Whatever loads, once written as XML, loads again equal (dates to the
// second, as the XML form keeps them) and writes the same bytes again, or
// the write fails cleanly.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "PropertyList.h"
#include "Values.h"

namespace {

// The value as the XML form can hold it: dates floored to the second, and
// a date of no seconds without a sign (a binary file's -0.0 is written as
// 2001-01-01T00:00:00Z, which reads back as +0.0).
plist::Value asWritten(const plist::Value& v) {
    using plist::Type;
    switch (v.type()) {
    case Type::Date: return plist::Value::date(std::floor(v.real()) + 0.0);
    case Type::Array: {
        auto items = std::make_shared<plist::Array>();
        for (const auto& item : v.items()) items->push_back(asWritten(item));
        return plist::Value::array(items);
    }
    case Type::Dictionary: {
        auto d = plist::makeDictionary();
        for (const auto& e : v.dict().entries) d->entries.emplace_back(e.first, asWritten(e.second));
        return plist::Value::dictionary(d);
    }
    default: return v;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto dict = plist::readDictionary(std::string(reinterpret_cast<const char*>(data), size));
    if (!dict) return 0;
    std::string xml;
    if (!plist::writeXml(*dict, xml)) {
        if (!xml.empty()) std::abort();  // a failed write leaves its output alone
        return 0;
    }
    auto again = plist::readDictionary(xml);
    if (!again) std::abort();
    if (asWritten(plist::valueOf(*again)) != asWritten(plist::valueOf(*dict))) std::abort();
    std::string twice;
    if (!plist::writeXml(*again, twice) || twice != xml) std::abort();
    return 0;
}
