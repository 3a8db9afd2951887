// Every file of the collected corpus gets the outcome Foundation gives it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "Json.h"
#include "PropertyList.h"
#include "Values.h"
#include "TestFiles.h"

namespace {

using plist::Type;

std::string base64Decode(const std::string& s) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : s) {
        auto at = alphabet.find(c);
        if (at == std::string::npos) continue;
        acc = (acc << 6) | static_cast<std::uint32_t>(at);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

// Compares a loaded value with a typed JSON expectation; on a mismatch,
// `why` names the place.
bool matches(const plist::Value& v, const json::Value& t, const std::string& where, std::string& why) {
    const std::string& kind = t["type"].text;
    auto no = [&](const std::string& what) {
        why = where + ": " + what;
        return false;
    };
    if (kind == "dict") {
        if (!v.is(Type::Dictionary)) return no("not a dictionary");
        const auto& members = t["value"].members;
        if (members.size() != v.dict().size()) return no("entry count differs");
        for (const auto& m : members) {
            const plist::Value* got = v.dict().find(m.first);
            if (!got) return no("missing key " + m.first);
            if (!matches(*got, m.second, where + "/" + m.first, why)) return false;
        }
        return true;
    }
    if (kind == "array") {
        if (!v.is(Type::Array)) return no("not an array");
        const auto& items = t["value"].items;
        if (items.size() != v.items().size()) return no("length differs");
        for (std::size_t i = 0; i < items.size(); ++i)
            if (!matches(v.items()[i], items[i], where + "[" + std::to_string(i) + "]", why)) return false;
        return true;
    }
    if (kind == "string") return v.is(Type::String) && v.text() == t["value"].text ? true : no("string differs");
    if (kind == "bool")
        return v.is(Type::Boolean) && v.boolean() == t["value"].boolean ? true : no("boolean differs");
    if (kind == "int" || kind == "uid") {
        if (!v.is(kind == "int" ? Type::Integer : Type::Uid)) return no("not an " + kind);
        std::string text = kind == "uid"          ? std::to_string(v.uid())
                           : v.isUnsigned()       ? std::to_string(v.bits())
                                                  : std::to_string(v.integer());
        return text == t["value"].text ? true : no("integer " + text + " != " + t["value"].text);
    }
    if (kind == "real") {
        if (!v.is(Type::Real)) return no("not a real");
        const json::Value& e = t["value"];
        if (e.kind == json::Value::Kind::String) {
            if (e.text == "nan") return std::isnan(v.real()) ? true : no("not nan");
            return v.real() == (e.text == "inf" ? HUGE_VAL : -HUGE_VAL) ? true : no("not infinite");
        }
        return v.real() == std::strtod(e.text.c_str(), nullptr) ? true : no("real differs");
    }
    if (kind == "date") {
        if (!v.is(Type::Date)) return no("not a date");
        double expected = std::strtod(t["abs_time"].text.c_str(), nullptr);
        return std::fabs(v.real() - expected) <= 1e-6 ? true : no("date differs");
    }
    if (kind == "data")
        return v.is(Type::Data) && v.text() == base64Decode(t["base64"].text) ? true : no("data differs");
    if (kind == "null") return v.is(Type::Null) ? true : no("not null");
    return no("unknown type " + kind);
}

const std::string kCorpus = testData("corpus");

TEST(Corpus, EveryFileGetsTheOutcomeFoundationGives) {
    json::Value manifest = json::parse(readFile(kCorpus + "/MANIFEST.json"));
    ASSERT_GT(manifest.items.size(), 150u);
    int accepted = 0, rejected = 0;
    for (const auto& entry : manifest.items) {
        const std::string file = entry["file"].text;
        const std::string expect = entry["expect"].text;
        SCOPED_TRACE(file);
        plist::ReadResult result = plist::read(readFile(kCorpus + "/" + file));
        bool isDictionary = result && plist::valueOf(result).is(Type::Dictionary);
        isDictionary ? ++accepted : ++rejected;
        if (expect == "reject") {
            EXPECT_FALSE(isDictionary) << "loaded, but Foundation refuses it";
            continue;
        }
        if (expect == "accept") {
            EXPECT_TRUE(isDictionary) << "refused: " << result.error << " at " << result.offset;
        }
        const json::Value* expected = entry.get("expected_json");
        if (isDictionary && expected && expected->kind == json::Value::Kind::String) {
            json::Value typed = json::parse(readFile(kCorpus + "/" + expected->text));
            std::string why;
            EXPECT_TRUE(matches(plist::valueOf(result), typed["root"], "", why)) << why;
        }
    }
    EXPECT_GT(accepted, 50);
    EXPECT_GT(rejected, 95);
}

// Inputs that Foundation reads and the readers once refused: each gives,
// byte for byte, the XML Foundation wrote for it.
TEST(Corpus, WhatFoundationReadsIsReadAndWrittenAsFoundationWritesIt) {
    const std::string folder = testData("cf-differential");
    json::Value manifest = json::parse(readFile(folder + "/MANIFEST.json"));
    ASSERT_EQ(manifest.items.size(), 8u);
    for (const auto& entry : manifest.items) {
        const std::string file = entry["file"].text;
        std::string bytes = readFile(folder + "/" + file), expected = readFile(folder + "/" + entry["expected"].text);
        SCOPED_TRACE(file);
        auto dict = plist::readDictionary(bytes);
        ASSERT_TRUE(dict) << plist::read(bytes).error;
        dict->set("ApplicationRunningPrompt", plist::Scalar::boolean(true));
        std::string xml;
        ASSERT_TRUE(plist::writeXml(*dict, xml));
        EXPECT_EQ(xml, expected);
    }
}

}  // namespace
