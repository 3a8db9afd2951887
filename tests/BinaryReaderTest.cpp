// What the binary reader accepts and refuses: each trailer check, each
// marker, references, cycles and depth.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>

#include "Bplist.h"
#include "PropertyList.h"
#include "Values.h"

namespace {

using plist::Type;
using plist::Value;

// A file whose root dict maps "v" to the object made by `make`.
template <typename Make>
std::string withValue(Make make) {
    Bplist b;
    Bplist::Ref key = b.ascii("v");
    Bplist::Ref value = make(b);
    return b.build(b.dict({key}, {value}));
}

Value valueIn(const std::string& file) {
    plist::ReadResult r = plist::readBinary(file);
    EXPECT_TRUE(r) << r.error;
    if (!r || !plist::valueOf(r).is(Type::Dictionary) || !plist::valueOf(r).dict().find("v")) return Value();
    return *plist::valueOf(r).dict().find("v");
}

std::string simple() {
    return withValue([](Bplist& b) { return b.integer(1); });
}

// Trailer fields, by offset from the end of the file.
void setTrailer(std::string& file, std::size_t fromEnd, std::uint64_t v, unsigned width) {
    file.replace(file.size() - fromEnd, width, bigEndian(v, width));
}
constexpr std::size_t kOffsetSize = 26, kRefSize = 25, kCount = 24, kTop = 16, kTable = 8;

TEST(BinaryTrailer, EveryCheckRefusesItsFault) {
    ASSERT_TRUE(plist::readBinary(simple()));
    struct Case {
        const char* fault;
        std::string file;
    };
    std::vector<Case> cases;
    auto mutated = [&](const char* fault, auto change) {
        std::string f = simple();
        change(f);
        cases.push_back({fault, f});
    };
    cases.push_back({"shorter than 41 bytes", "bplist00" + std::string(32, '\0')});
    mutated("bad magic", [](std::string& f) { f[0] = 'B'; });
    mutated("no objects", [](std::string& f) { setTrailer(f, kCount, 0, 8); });
    mutated("top object out of range", [](std::string& f) { setTrailer(f, kTop, 3, 8); });
    mutated("table inside the header", [](std::string& f) { setTrailer(f, kTable, 8, 8); });
    mutated("table in the trailer", [](std::string& f) { setTrailer(f, kTable, f.size() - 32, 8); });
    mutated("offset size 0", [](std::string& f) { setTrailer(f, kOffsetSize, 0, 1); });
    mutated("reference size 0", [](std::string& f) { setTrailer(f, kRefSize, 0, 1); });
    mutated("count near 2^63", [](std::string& f) { setTrailer(f, kCount, 0x7FFFFFFFFFFFFFFFull, 8); });
    mutated("count near 2^64", [](std::string& f) { setTrailer(f, kCount, 0xFFFFFFFFFFFFFFFFull, 8); });
    mutated("table offset near 2^64", [](std::string& f) { setTrailer(f, kTable, 0xFFFFFFFFFFFFFFF0ull, 8); });
    mutated("garbage between table and trailer", [](std::string& f) { f.insert(f.size() - 32, "x"); });
    mutated("garbage after the trailer", [](std::string& f) { f += "x"; });
    mutated("offset past the objects", [](std::string& f) {
        std::size_t table = f.size() - 32 - 3;
        f[table] = static_cast<char>(table);
    });
    mutated("top offset in the header", [](std::string& f) { f[f.size() - 32 - 1] = 7; });
    for (const auto& c : cases) {
        plist::ReadResult r = plist::readBinary(c.file);
        EXPECT_FALSE(r) << c.fault;
    }
}

TEST(BinaryTrailer, SizesTooSmallForWhatTheyAddress) {
    Bplist many;
    std::vector<Bplist::Ref> keys, values;
    for (int i = 0; i < 128; ++i) {
        keys.push_back(many.ascii("k" + std::to_string(i)));
        values.push_back(many.integer(i));
    }
    Bplist::Ref top = many.dict(keys, values);  // 257 objects
    EXPECT_TRUE(plist::readBinary(many.build(top, 0, 2)));
    EXPECT_FALSE(plist::readBinary(many.build(top, 0, 1)));  // references would wrap
    Bplist b;
    Bplist::Ref t = b.dict({b.ascii("v")}, {b.data(std::string(300, 'x'))});
    EXPECT_TRUE(plist::readBinary(b.build(t, 2)));
    EXPECT_FALSE(plist::readBinary(b.build(t, 1)));  // the table lies past 255
}

TEST(BinaryTrailer, OddSizesAreReadByteByByte) {
    Bplist b;
    Bplist::Ref t = b.dict({b.ascii("v")}, {b.integer(5)});
    for (unsigned size : {3u, 5u, 9u, 16u}) {
        plist::ReadResult r = plist::readBinary(b.build(t, size, size));
        EXPECT_TRUE(r) << size << ": " << r.error;
    }
    std::string eighth = b.build(t);
    eighth[7] = 'x';  // only "bplist0" is checked
    EXPECT_TRUE(plist::readBinary(eighth));
}

TEST(BinaryMarkers, Scalars) {
    EXPECT_TRUE(valueIn(withValue([](Bplist& b) { return b.boolean(true); })).boolean());
    EXPECT_FALSE(valueIn(withValue([](Bplist& b) { return b.boolean(false); })).boolean());
    EXPECT_TRUE(valueIn(withValue([](Bplist& b) { return b.null(); })).is(Type::Null));

    EXPECT_EQ(valueIn(withValue([](Bplist& b) { return b.raw("\x10\xFF"); })).integer(), 255);
    EXPECT_EQ(valueIn(withValue([](Bplist& b) { return b.raw(std::string("\x11\xFF\xFF", 3)); })).integer(), 65535);
    EXPECT_EQ(valueIn(withValue([](Bplist& b) { return b.raw("\x12\xFF\xFF\xFF\xFF"); })).integer(), 4294967295);
    EXPECT_EQ(valueIn(withValue([](Bplist& b) { return b.integer(-2); })).integer(), -2);
    Value big = valueIn(withValue([](Bplist& b) { return b.integer16(0, 0xFFFFFFFFFFFFFFFFull); }));
    EXPECT_TRUE(big.isUnsigned());
    EXPECT_EQ(big.bits(), 0xFFFFFFFFFFFFFFFFull);
    Value wide = valueIn(withValue([](Bplist& b) { return b.integer16(1, 7); }));
    EXPECT_EQ(wide.bits(), 7u);  // the low 64 bits

    EXPECT_EQ(valueIn(withValue([](Bplist& b) { return b.real(2.5); })).real(), 2.5);
    EXPECT_EQ(valueIn(withValue([](Bplist& b) { return b.real32(0.1f); })).real(), static_cast<double>(0.1f));
    EXPECT_EQ(valueIn(withValue([](Bplist& b) { return b.date(-1.5); })).real(), -1.5);
    Value d = valueIn(withValue([](Bplist& b) { return b.date(-1.5); }));
    EXPECT_TRUE(d.is(Type::Date));
    EXPECT_EQ(valueIn(withValue([](Bplist& b) { return b.uid(0xFFFFFFFF); })).uid(), 0xFFFFFFFFu);
}

TEST(BinaryMarkers, Strings) {
    // "ASCII" bytes above 0x7F read as Latin-1.
    EXPECT_EQ(valueIn(withValue([](Bplist& b) { return b.ascii("\xA9x"); })).text(), "\xC2\xA9x");
    EXPECT_EQ(valueIn(withValue([](Bplist& b) { return b.utf16(u"\u00e9\U0001F600"); })).text(),
              "\xC3\xA9\xF0\x9F\x98\x80");
    // Lone surrogates are kept, in their three-byte form.
    EXPECT_EQ(valueIn(withValue([](Bplist& b) { return b.utf16(std::u16string(1, u'\xDC00')); })).text(),
              "\xED\xB0\x80");
    EXPECT_EQ(valueIn(withValue([](Bplist& b) { return b.ascii(std::string(20, 'a')); })).text(), std::string(20, 'a'));
    EXPECT_EQ(valueIn(withValue([](Bplist& b) { return b.data(std::string(3, '\0')); })).text(), std::string(3, '\0'));
    // Latin-1 is measured eight bytes at a time: a byte above 0x7F at each
    // place of a word, and the bytes past the last word.
    std::mt19937 rng(3);
    for (int round = 0; round < 400; ++round) {
        std::string text(rng() % 34, 'a');
        for (char& c : text) c = static_cast<char>(rng() % 4 ? 'a' + rng() % 26 : 0x80 + rng() % 128);
        plist::ReadResult r = plist::readBinary(withValue([&](Bplist& b) { return b.ascii(text); }));
        ASSERT_TRUE(r) << r.error;
        const plist::Document& doc = *r.document;
        plist::Document::Object o = doc.object(doc.ref(doc.object(doc.root()), 1));
        std::string scratch;
        ASSERT_EQ(doc.textSize(o), doc.text(o, scratch).size()) << round;
    }
}

// UTF-16 text is measured, checked and converted four units at a time, and
// ASCII in runs: each kind of unit at each place of a word and of a run.
TEST(BinaryMarkers, Utf16TextOfEveryKindAtEveryPlace) {
    const char16_t others[] = {0x80, 0xE9, 0x7FF, 0x800, 0x6570, 0xD7FF,
                               0xE000, 0xFFFF, 0xD83D, 0xDE00, 0xDBFF, 0xDC00};
    auto utf8 = [](const std::u16string& s, bool& lone) {
        std::string out;
        lone = false;
        auto put = [&](std::uint32_t cp, int n) {
            static const unsigned char lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
            for (int k = n - 1; k >= 0; --k) {
                unsigned shift = 6 * static_cast<unsigned>(k);
                out += static_cast<char>(k == n - 1 && n > 1 ? lead[n] | cp >> shift : 0x80 | (cp >> shift & 0x3F));
            }
        };
        for (std::size_t i = 0; i < s.size(); ++i) {
            std::uint32_t u = s[i];
            if (u >= 0xD800 && u < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
                put(0x10000 + ((u - 0xD800) << 10) + (s[++i] - 0xDC00u), 4);
                continue;
            }
            lone |= u >= 0xD800 && u < 0xE000;
            if (u < 0x80) out += static_cast<char>(u);
            else put(u, u < 0x800 ? 2 : 3);
        }
        return out;
    };
    std::mt19937 rng(12);
    for (int round = 0; round < 4000; ++round) {
        std::u16string s(rng() % 26, u'a');
        for (char16_t& c : s) c = rng() % 3 ? static_cast<char16_t>(u'!' + rng() % 90) : others[rng() % 12];
        bool lone;
        std::string expected = utf8(s, lone);
        plist::ReadResult r = plist::readBinary(withValue([&](Bplist& b) { return b.utf16(s); }));
        ASSERT_TRUE(r) << r.error;
        const plist::Document& doc = *r.document;
        plist::Document::Object o = doc.object(doc.ref(doc.object(doc.root()), 1));
        std::string scratch;
        ASSERT_EQ(doc.text(o, scratch), expected) << round;
        ASSERT_EQ(doc.textSize(o), expected.size()) << round;
        ASSERT_EQ(doc.hasLoneSurrogate(o), lone) << round;
    }
}

TEST(BinaryMarkers, RefusedMarkersAndSizes) {
    const std::string refused[] = {
        "\x0F",                              // fill
        "\x0A",                              // unused singleton
        "\x15" + std::string(32, '\0'),      // 32-byte integer
        "\x21\0\0",                          // 2-byte real
        "\x32" + std::string(4, '\0'),       // 4-byte date
        "\x71" "a",                          // UTF-8 string
        "\x90",                              // unused
        "\xB0",                              // ordered set
        "\xE0",                              // unused
        "\xF0",                              // unused
        "\x84\x01\x00\x00\x00\x00",          // UID of 2^32
        "\x5F\x20",                          // count that is no integer
        "\x5F\x13\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF",  // string claiming 2^63 bytes
        "\x5F\x14" + std::string(16, '\xFF'),        // count beyond LONG_MAX
        "\x6F\x12\x40\x00\x00\x00",          // UTF-16 string claiming 2^30 units
        "\x4F\x13\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF",  // data claiming 2^64 bytes
        "\xAF\x13\x0F\xFF\xFF\xFF\xFF\xFF\xFF\xFF",  // array claiming 2^60 items
        "\xDF\x13\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF",  // dict claiming 2^63 entries
        "\x13\x00",                          // integer past the objects
    };
    for (const auto& bytes : refused) {
        std::string file = withValue([&](Bplist& b) { return b.raw(bytes); });
        EXPECT_FALSE(plist::readBinary(file)) << std::hex << static_cast<int>(static_cast<unsigned char>(bytes[0]));
    }
}

TEST(BinaryContainers, ReferencesKeysAndDuplicates) {
    Value set = valueIn(withValue([](Bplist& b) { return b.set({b.integer(1), b.integer(2)}); }));
    EXPECT_TRUE(set.is(Type::Set));
    EXPECT_EQ(set.items().size(), 2u);

    Bplist nonString;
    Bplist::Ref top = nonString.dict({nonString.boolean(false), nonString.integer(65)},
                                     {nonString.boolean(true), nonString.ascii("x")});
    plist::ReadResult r = plist::readBinary(nonString.build(top));
    ASSERT_TRUE(r);  // loads; the writer refuses it
    std::string out;
    EXPECT_FALSE(plist::writeXml(plist::valueOf(r).dict(), out));

    Bplist containerKey;
    top = containerKey.dict({containerKey.array({})}, {containerKey.boolean(true)});
    EXPECT_FALSE(plist::readBinary(containerKey.build(top)));

    Bplist dup;
    Bplist::Ref k = dup.ascii("k");
    top = dup.dict({k, dup.ascii("k")}, {dup.ascii("first"), dup.ascii("second")});
    r = plist::readBinary(dup.build(top));
    ASSERT_TRUE(r);
    ASSERT_EQ(plist::valueOf(r).dict().size(), 1u);
    EXPECT_EQ(plist::valueOf(r).dict().find("k")->text(), "first");
    // Two objects of one text are one key to the writer too, in a
    // dictionary in order as out of it.
    for (const char* other : {"k", "j"}) {
        Bplist keys;
        top = keys.dict({keys.ascii("k"), keys.ascii(other), keys.ascii("k")},
                        {keys.ascii("first"), keys.ascii("second"), keys.ascii("third")});
        r = plist::readBinary(keys.build(top));
        ASSERT_TRUE(r);
        ASSERT_TRUE(plist::writeXml(*r.document, out));
        const char* entries = std::string(other) == "k"
                                  ? "<dict>\n\t<key>k</key>\n\t<string>first</string>\n</dict>"
                                  : "<dict>\n\t<key>j</key>\n\t<string>second</string>\n"
                                    "\t<key>k</key>\n\t<string>first</string>\n</dict>";
        EXPECT_NE(out.find(entries), std::string::npos) << out;
    }
    // Out of order, with a key whose first units are a surrogate pair:
    // sorted by its text alone, and still one key.
    Bplist emoji;
    top = emoji.dict({emoji.utf16(u"\U0001F600b"), emoji.ascii("a"), emoji.utf16(u"\U0001F600b")},
                     {emoji.ascii("first"), emoji.ascii("second"), emoji.ascii("third")});
    r = plist::readBinary(emoji.build(top));
    ASSERT_TRUE(r);
    ASSERT_TRUE(plist::writeXml(*r.document, out));
    EXPECT_NE(out.find("<dict>\n\t<key>a</key>\n\t<string>second</string>\n"
                       "\t<key>\xF0\x9F\x98\x80" "b</key>\n\t<string>first</string>\n</dict>"),
              std::string::npos)
        << out;
    // Out of order and large enough to be sorted by its keys' ranks, which
    // take two bytes: each text's first value, among a hundred equal texts.
    Bplist many;
    std::vector<Bplist::Ref> keys, values;
    std::map<std::string, int> first;
    for (int i = 0; i < 600; ++i) {
        std::string key = "key" + std::to_string(i * 7919 % 500);
        keys.push_back(many.ascii(key));
        values.push_back(many.integer(i));
        first.emplace(key, i);
    }
    r = plist::readBinary(many.build(many.dict(keys, values)));
    ASSERT_TRUE(r);
    ASSERT_TRUE(plist::writeXml(*r.document, out));
    std::string expected = "<dict>\n";
    for (const auto& [key, i] : first)
        expected += "\t<key>" + key + "</key>\n\t<integer>" + std::to_string(i) + "</integer>\n";
    EXPECT_NE(out.find(expected + "</dict>"), std::string::npos);

    Bplist badRef;
    top = badRef.dict({badRef.ascii("v")}, {badRef.array({99})});
    EXPECT_FALSE(plist::readBinary(badRef.build(top)));
}

TEST(BinaryContainers, CyclesOfEveryShapeAreRefused) {
    {
        Bplist b;
        Bplist::Ref a = b.reserveArray(1);
        b.setItems(a, {a});
        EXPECT_FALSE(plist::readBinary(b.build(b.dict({b.ascii("v")}, {a}))));
    }
    {
        Bplist b;
        Bplist::Ref outer = b.reserveArray(1);
        Bplist::Ref inner = b.array({outer});
        b.setItems(outer, {inner});
        EXPECT_FALSE(plist::readBinary(b.build(b.dict({b.ascii("v")}, {outer}))));
    }
    {
        // The root dict holds itself.
        Bplist b;
        Bplist::Ref key = b.ascii("v");
        Bplist::Ref root = b.dict({key}, {2});
        EXPECT_FALSE(plist::readBinary(b.build(root)));
    }
    {
        // Two object numbers with one offset are one object.
        Bplist b;
        Bplist::Ref key = b.ascii("v");
        Bplist::Ref arr = b.array({3});
        Bplist::Ref root = b.dict({key}, {arr});
        b.raw("\x08");
        std::string f = b.build(root);
        // Point object 3 at the array itself.
        std::size_t table = f.size() - 32 - 4;
        f[table + 3] = f[table + 1];
        EXPECT_FALSE(plist::readBinary(f));
    }
}

TEST(BinaryContainers, SharedObjectsAreReadOnce) {
    Bplist b;
    Bplist::Ref leaf = b.array({b.ascii("leaf")});
    Bplist::Ref level = leaf;
    for (int i = 0; i < 64; ++i) level = b.array({level, level});  // 2^64 paths
    std::string file = b.build(b.dict({b.ascii("v")}, {level}));
    plist::ReadResult r = plist::readBinary(file);
    ASSERT_TRUE(r) << r.error;
    Value root = plist::valueOf(r);
    const Value& top = *root.dict().find("v");
    EXPECT_EQ(top.items()[0].node(), top.items()[1].node());
    std::string out, error;
    EXPECT_FALSE(plist::writeXml(*r.document, out, &error));
    EXPECT_NE(error.find("1536"), std::string::npos) << error;
}

TEST(BinaryContainers, NestingStopsAt512) {
    auto chain = [](int depth) {
        Bplist b;
        Bplist::Ref inner = b.boolean(true);
        for (int i = 0; i < depth; ++i) inner = b.array({inner});
        return b.build(b.dict({b.ascii("v")}, {inner}));
    };
    EXPECT_TRUE(plist::readBinary(chain(511)));
    EXPECT_FALSE(plist::readBinary(chain(512)));
    EXPECT_FALSE(plist::readBinary(chain(100000)));
}

TEST(BinaryTruncation, NoPrefixOfAValidFileLoads) {
    Bplist b;
    Bplist::Ref top = b.dict({b.ascii("a"), b.ascii("b"), b.ascii("c")},
                             {b.array({b.integer(1), b.real(2.0)}), b.utf16(u"\u00e9"), b.data("xyz")});
    std::string file = b.build(top);
    ASSERT_TRUE(plist::readBinary(file));
    for (std::size_t n = 0; n < file.size(); ++n) EXPECT_EQ(plist::dictionaryOf(file.substr(0, n)), nullptr) << n;
}

}  // namespace
