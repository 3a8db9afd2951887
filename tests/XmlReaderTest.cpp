// What the XML reader accepts and refuses, rule by rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <map>
#include <optional>
#include <random>

#include "DocumentBuilder.h"
#include "PropertyList.h"
#include "ScalarText.h"
#include "TextEncoding.h"
#include "Unicode.h"
#include "Values.h"

namespace {

using plist::Type;
using plist::Value;

// The value under key "v" of a one-entry dict holding `element`.
Value valueOf(const std::string& element) {
    plist::ReadResult r = plist::readXml("<plist><dict><key>v</key>" + element + "</dict></plist>");
    EXPECT_TRUE(r) << element << ": " << r.error;
    if (!r || !plist::valueOf(r).is(Type::Dictionary) || !plist::valueOf(r).dict().find("v")) return Value();
    return *plist::valueOf(r).dict().find("v");
}

bool refusesElement(const std::string& element) {
    return !plist::readXml("<plist><dict><key>v</key>" + element + "</dict></plist>");
}

TEST(XmlDocument, AcceptsWhatFoundationSkipsAroundTheRoot) {
    const char* accepted[] = {
        "<dict/>",
        "  \n<dict></dict>",
        "<?xml version=\"1.0\"?><!-- c --><!DOCTYPE plist SYSTEM \"x\"><plist><dict/></plist>",
        "<plist version=\"1.0\" anything=\"'\"><dict/></plist>",
        "<plist><!-- before --><dict/><!-- after --></plist>",
        "<plist><dict/></plist  >",
        "<dict/>trailing junk <notatag",
        "<plist><dict/></plist>text after the root",
        "<dict><!-- c --><?pi?><key>a</key><!-- c --><true/></dict>",
    };
    for (const char* text : accepted) {
        plist::ReadResult r = plist::readXml(text);
        EXPECT_TRUE(r && plist::valueOf(r).is(Type::Dictionary)) << text << ": " << r.error;
    }
}

TEST(XmlDocument, RefusesMalformedDocuments) {
    const char* refused[] = {
        "",
        "   ",
        "x<dict/>",
        "<!DOCTYPE plist [<!ENTITY e \"x\">]><dict/>",
        "<!DOCTYPE plist [ ]><dict/>",
        "<!DOCTYPEplist",
        "<!-- never closed <dict/>",
        "<?pi never closed <dict/>",
        "<plist/>",
        "<plist></plist>",
        "<plist><dict/><dict/></plist>",
        "<plist><dict/>",
        "<plist><dict/></plistx>",
        "<Dict/>",
        "<dictionary/>",
        "<dict>",
        "<dict><key>a</key></dict>",
        "<dict><string>a</string><true/></dict>",
        "<dict><key>a</key><true/></array>",
        "<dict><key>a</key><true/>text</dict>",
        "<dict><key>a<!-- c --></key><true/></dict>",
        "<dict><key>a</key><true>x</true></dict>",
        "<dict",
    };
    for (const char* text : refused) EXPECT_FALSE(plist::readXml(text)) << text;
}

// Only where a dictionary looks for its next key must there be a <key>;
// anywhere else Foundation reads one as a string.
TEST(XmlDocument, AKeyWhereNoneIsLookedForIsAString) {
    plist::ReadResult r = plist::readXml("<dict><key>a</key><key>b</key><key>c</key><array><key>d</key></array></dict>");
    ASSERT_TRUE(r) << r.error;
    EXPECT_EQ(*plist::valueOf(r).dict().find("a"), Value::string("b"));
    EXPECT_EQ(plist::valueOf(r).dict().find("c")->items().at(0), Value::string("d"));
    EXPECT_EQ(plist::valueOf(plist::readXml("<key>a</key>")), Value::string("a"));
}

TEST(XmlDocument, NestingStopsAt512) {
    auto nested = [](int depth) {
        std::string s;
        for (int i = 0; i < depth; ++i) s += "<array>";
        s += "<true/>";
        for (int i = 0; i < depth; ++i) s += "</array>";
        return "<dict><key>a</key>" + s + "</dict>";
    };
    // The root dict is level 0: 511 arrays put the Boolean at level 512.
    EXPECT_TRUE(plist::readXml(nested(511)));
    EXPECT_FALSE(plist::readXml(nested(512)));
    EXPECT_FALSE(plist::readXml(nested(100000)));
}

TEST(XmlString, KeepsTextAsItStands) {
    EXPECT_EQ(valueOf("<string>a\r\nb\rc</string>").text(), "a\r\nb\rc");
    EXPECT_EQ(valueOf(std::string("<string>a\0b\x01</string>", 21)).text(), std::string("a\0b\x01", 4));
    EXPECT_EQ(valueOf("<string>\"quotes\" and 'tabs'\t</string>").text(), "\"quotes\" and 'tabs'\t");
    EXPECT_EQ(valueOf("<string/>").text(), "");
    EXPECT_EQ(valueOf("<string></string>").text(), "");
    EXPECT_EQ(valueOf("<string>\xC3\xA9\xF0\x9F\x98\x80</string>").text(), "\xC3\xA9\xF0\x9F\x98\x80");
}

TEST(XmlString, ResolvesEntitiesAndCdata) {
    EXPECT_EQ(valueOf("<string>&lt;&gt;&amp;&apos;&quot;</string>").text(), "<>&'\"");
    EXPECT_EQ(valueOf("<string>&#65;&#x42;&#x0001F600;&#00000067;</string>").text(), "AB\xF0\x9F\x98\x80" "C");
    EXPECT_EQ(valueOf("<string>a<![CDATA[<&>]]>b</string>").text(), "a<&>b");
    EXPECT_EQ(valueOf("<real><![CDATA[1.5]]></real>").real(), 1.5);
    plist::ReadResult r = plist::readXml("<dict><key><![CDATA[k&]]></key><true/></dict>");
    ASSERT_TRUE(r);
    EXPECT_NE(plist::valueOf(r).dict().find("k&"), nullptr);
}

TEST(XmlString, RefusesBadEntitiesAndText) {
    const char* refused[] = {
        "<string>&nbsp;</string>",
        "<string>&amp</string>",
        "<string>&#xD800;</string>",
        "<string>&#xDFFF;</string>",
        "<string>&#x110000;</string>",
        "<string>&#x000000041;</string>",
        "<string>&#X41;</string>",
        "<string>&#4a;</string>",
        "<string>a<!-- c -->b</string>",
        "<string>a<![CDATA[b</string>",
        "<string>\xC3</string>",
        "<string>\xED\xA0\x80</string>",
        "<string>\xC0\xAF</string>",
        "<string>\xF4\x90\x80\x80</string>",
        "<string>&amp;\xC3</string>",                 // after an entity, just before the close tag
        "<string>&amp;long enough\xC3 text</string>",  // and a word further on
        "<string>a<b</string>",
        "<string>a",
    };
    for (const char* e : refused) EXPECT_TRUE(refusesElement(e)) << e;
    // Within long runs of two- and three-byte characters, which are read a
    // word at a time: each ill-formed sequence is still found, and the
    // well-formed ones nearest it still read.
    const std::string before = "\xC3\xA9\xC3\xBC\xE6\x95\xB0\xE6\x8D\xAE";
    const std::string after = "\xE6\x95\xB0\xD0\x96\xD0\x96\xD0\x96 text";
    for (const char* bad : {"\xED\xA0\x80", "\xED\xBF\xBF", "\xE0\x80\x80", "\xE0\x9F\xBF", "\xC0\xAF", "\xC1\xBF",
                            "\xC3", "\xE6\x95", "\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xE6\xC3\xA9"})
        EXPECT_TRUE(refusesElement("<string>" + before + bad + after + "</string>")) << bad;
    for (const char* good : {"\xED\x9F\xBF", "\xE0\xA0\x80", "\xEF\xBF\xBF", "\xC2\x80", "\xF0\x90\x80\x80"}) {
        std::string text = before + good + after;
        EXPECT_EQ(valueOf("<string>" + text + "</string>").text(), text) << good;
    }
}

TEST(XmlDict, LastDuplicateKeyWinsAndCfUidIsAUid) {
    plist::ReadResult r = plist::readXml("<dict><key>k</key><integer>1</integer><key>k</key><integer>2</integer></dict>");
    ASSERT_TRUE(r);
    ASSERT_EQ(plist::valueOf(r).dict().size(), 1u);
    EXPECT_EQ(plist::valueOf(r).dict().find("k")->integer(), 2);
    // The empty key in both its forms is one key (a fuzzer's find: an empty
    // text has no place to hash from).
    r = plist::readXml("<dict><key>k</key><true/><key/><integer>1</integer><key></key><integer>3</integer></dict>");
    ASSERT_TRUE(r);
    ASSERT_EQ(plist::valueOf(r).dict().size(), 2u);
    EXPECT_EQ(plist::valueOf(r).dict().find("")->integer(), 3);

    Value uid = valueOf("<dict><key>CF$UID</key><integer>7</integer></dict>");
    ASSERT_TRUE(uid.is(Type::Uid));
    EXPECT_EQ(uid.uid(), 7u);
    // Anything else shaped like it stays a dictionary.
    EXPECT_TRUE(valueOf("<dict><key>CF$UID</key><string>7</string></dict>").is(Type::Dictionary));
    EXPECT_TRUE(valueOf("<dict><key>CF$UID</key><integer>4294967296</integer></dict>").is(Type::Dictionary));
    EXPECT_TRUE(valueOf("<dict><key>CF$UID</key><integer>1</integer><key>x</key><true/></dict>").is(Type::Dictionary));
    // A root that is a UID is no dictionary.
    EXPECT_EQ(plist::dictionaryOf("<dict><key>CF$UID</key><integer>1</integer></dict>"), nullptr);
}

// Keys are guessed from the order the records before held theirs and
// looked up some keys late. Records that follow their pattern, break it,
// repeat a key or hold one of their own, many to a dictionary, still read
// to the keys they hold, the last value of each.
TEST(XmlDict, KeysOfRecordsThatVaryAreTheKeysTheyHold) {
    const char* pool[] = {"Name", "Names", "Title", "A&amp;B", "PatchIdentifier", "PatchIdentifiers", "x", ""};
    auto decoded = [](std::string k) { return k == "A&amp;B" ? std::string("A&B") : k; };
    std::mt19937 rng(3);
    for (int round = 0; round < 40; ++round) {
        std::string xml = "<dict>";
        std::vector<std::map<std::string, int>> expected;
        int value = 0;
        for (int record = 0; record < 30; ++record) {
            xml += "<key>r" + std::to_string(record) + "</key><dict>";
            std::map<std::string, int>& keys = expected.emplace_back();
            std::size_t n = rng() % 3 == 0 ? rng() % 70 : 8;
            for (std::size_t k = 0; k < n; ++k) {
                std::string key = pool[k % 8];
                switch (rng() % 8) {
                case 0: key = pool[rng() % 8]; break;
                case 1: key = "own" + std::to_string(rng() % 50); break;
                default: break;
                }
                xml += "<key>" + key + "</key><integer>" + std::to_string(++value) + "</integer>";
                keys[decoded(key)] = value;
            }
            xml += "</dict>";
        }
        xml += "</dict>";
        plist::ReadResult r = plist::readXml(xml);
        ASSERT_TRUE(r) << r.error;
        Value root = plist::valueOf(r);
        ASSERT_EQ(root.dict().size(), expected.size());
        for (std::size_t record = 0; record < expected.size(); ++record) {
            const Value* got = root.dict().find("r" + std::to_string(record));
            ASSERT_TRUE(got) << record;
            ASSERT_EQ(got->dict().size(), expected[record].size()) << "round " << round << ", record " << record;
            for (const auto& [key, v] : expected[record]) {
                ASSERT_TRUE(got->dict().find(key)) << key;
                EXPECT_EQ(got->dict().find(key)->integer(), v) << key;
            }
        }
    }
}

// Containers of more items than a block of the reader's stack holds, and
// small ones across a block's end: every item reads back in its place, and
// of a large dictionary's equal keys the first keeps its place, the last
// its value. Its keys come first in a text that is mostly one long string
// after them, so that the table of keys grows past what doubling gives.
TEST(XmlDict, ContainersAcrossTheBlocksOfItemsReadWhole) {
    std::string xml = "<dict><key>B</key><dict>";
    for (int i = 0; i < 60000; ++i)
        xml += "<key>k" + std::to_string(i % 59000) + "</key><integer>" + std::to_string(i) + "</integer>";
    xml += "</dict><key>A</key><array>";
    for (int i = 0; i < 70000; ++i) {
        if (i % 97 == 0) {
            xml += "<array>";
            for (int k = 0; k < i % 13; ++k) xml += "<integer>" + std::to_string(k) + "</integer>";
            xml += "</array>";
        } else if (i % 89 == 0) {
            xml += "<dict><key>n</key><integer>" + std::to_string(i) + "</integer><key>m</key><true/></dict>";
        } else {
            xml += "<integer>" + std::to_string(i) + "</integer>";
        }
    }
    xml += "</array><key>C</key><string>" + std::string(6 << 20, 'x') + "</string></dict>";
    plist::ReadResult r = plist::readXml(xml);
    ASSERT_TRUE(r) << r.error;
    Value root = plist::valueOf(r);
    const plist::Array& a = root.dict().find("A")->items();
    ASSERT_EQ(a.size(), 70000u);
    for (int i = 0; i < 70000; ++i) {
        const Value& v = a[static_cast<std::size_t>(i)];
        if (i % 97 == 0) {
            ASSERT_EQ(v.items().size(), static_cast<std::size_t>(i % 13)) << i;
            for (int k = 0; k < i % 13; ++k) ASSERT_EQ(v.items()[static_cast<std::size_t>(k)].integer(), k) << i;
        } else if (i % 89 == 0) {
            ASSERT_EQ(v.dict().size(), 2u) << i;
            ASSERT_EQ(v.dict().find("n")->integer(), i);
        } else {
            ASSERT_EQ(v.integer(), i);
        }
    }
    const plist::Dictionary& b = root.dict().find("B")->dict();
    ASSERT_EQ(b.size(), 59000u);
    for (int i = 0; i < 59000; ++i) {
        ASSERT_EQ(b.entries[static_cast<std::size_t>(i)].first.text(), "k" + std::to_string(i));
        ASSERT_EQ(b.entries[static_cast<std::size_t>(i)].second.integer(), i < 1000 ? i + 59000 : i);
    }
    EXPECT_EQ(root.dict().find("C")->text().size(), std::size_t{6} << 20);
}

// Keys that come in order are told apart without being looked up; one out
// of order after them still finds its equal among them, though that key's
// text is in the key table from another dictionary: the first keeps its
// place, the last its value. Such keys are never guessed where they
// follow in another dictionary, nor entered in the table when it grows,
// and the table keeps room for their places: else a dictionary could
// hold a key twice.
TEST(XmlDict, KeysInOrderAndOneOutOfOrderAfterThemAreTheKeysTheyHold) {
    auto key = [](int i) {
        char k[8];
        std::snprintf(k, sizeof k, "k%03d", i);
        return std::string(k);
    };
    std::string xml = "<dict><key>a</key><dict><key>k150</key><true/></dict><key>b</key><dict>";
    std::vector<std::pair<std::string, int>> expected;
    for (int i = 0; i < 200; ++i) {
        xml += "<key>" + key(i) + "</key><integer>" + std::to_string(i) + "</integer>";
        expected.emplace_back(key(i), i);
    }
    for (int i : {150, 10, 199, 150}) {
        xml += "<key>" + key(i) + "</key><integer>" + std::to_string(1000 + i) + "</integer>";
        expected[static_cast<std::size_t>(i)].second = 1000 + i;
    }
    xml += "<key>k0005</key><false/></dict><key>c</key><dict>";
    expected.emplace_back("k0005", -1);
    // "B" comes in order after 64 keys, so it is made without a look-up, and
    // follows "Ak063", which is in the table; the dictionary after guesses
    // "Ak063" from "Ak062" before it, and "B" from "Ak063".
    for (int i = 0; i < 64; ++i) xml += "<key>A" + key(i) + "</key><true/>";
    xml += "<key>B</key><true/><key>C</key><true/></dict><key>d</key><array>"
           "<dict><key>Ak062</key><true/></dict><dict><key>Ak063</key><true/>"
           "<key>B</key><integer>1</integer><key>B</key><integer>2</integer></dict></array>";
    // "C", made so too, is looked up once before the table grows and once
    // after; then 3,000 more keys are made so, and the next one entered in
    // the table is looked up at once.
    xml += "<key>e</key><dict><key>C</key><integer>1</integer>";
    for (int i = 300; i-- > 0;) xml += "<key>z" + key(i) + "</key><true/>";
    xml += "<key>C</key><integer>2</integer></dict><key>f</key><dict>";
    for (int i = 0; i < 3000; ++i) xml += "<key>F" + std::to_string(10000 + i) + "</key><true/>";
    xml += "</dict><key>g</key><integer>1</integer><key>g</key><integer>2</integer></dict>";
    plist::ReadResult r = plist::readXml(xml);
    ASSERT_TRUE(r) << r.error;
    Value root = plist::valueOf(r);
    const plist::Array& d = root.dict().find("d")->items();
    ASSERT_EQ(d[1].dict().size(), 2u);
    EXPECT_EQ(d[1].dict().find("B")->integer(), 2);
    ASSERT_EQ(root.dict().find("e")->dict().size(), 301u);
    EXPECT_EQ(root.dict().find("e")->dict().find("C")->integer(), 2);
    EXPECT_EQ(root.dict().size(), 7u);
    EXPECT_EQ(root.dict().find("g")->integer(), 2);
    const plist::Dictionary& b = root.dict().find("b")->dict();
    ASSERT_EQ(b.size(), expected.size());
    for (std::size_t k = 0; k < b.size(); ++k) {
        ASSERT_EQ(b.entries[k].first.text(), expected[k].first);
        if (expected[k].second >= 0) {
            EXPECT_EQ(b.entries[k].second.integer(), expected[k].second) << k;
        }
    }
}

// A text's objects are written over what has been read of it; one that
// would reach what is still to be read moves them all to memory of their
// own first.
TEST(XmlDocument, ObjectsWrittenOverTheTextNeverReachWhatIsStillToBeRead) {
    std::string text(256, '-');
    std::size_t read = 16;
    plist::DocumentBuilder b(text);
    b.writeBehind(&text[0], read);
    std::size_t opened = b.open();
    read = 48;
    b.add(b.string("short"));
    b.add(b.string(std::string(100, 'x')));
    b.add(b.data(std::string(40, '\1')));
    EXPECT_EQ(text.substr(48), std::string(208, '-'));
    read = text.size();
    std::uint32_t root = b.array(opened);
    std::unique_ptr<plist::Document> doc = b.finish(root, std::move(text), true);
    Value v = plist::valueOf(*doc);
    ASSERT_EQ(v.items().size(), 3u);
    EXPECT_EQ(v.items()[0].text(), "short");
    EXPECT_EQ(v.items()[1].text(), std::string(100, 'x'));
    EXPECT_EQ(v.items()[2].text(), std::string(40, '\1'));
}

TEST(XmlInteger, Grammar) {
    struct {
        const char* text;
        std::uint64_t bits;
        bool isUnsigned;
    } accepted[] = {
        {"0", 0, false},
        {"00012", 12, false},
        {"-0", 0, false},
        {"+5", 5, false},
        {" \t\n 5", 5, false},
        {"- 5", static_cast<std::uint64_t>(-5), false},
        {"\xE3\x80\x80" "7", 7, false},        // U+3000 before the digits
        {"\xC2\xA0" "7", 7, false},            // U+00A0
        {"\x85" "7", 7, false},                // a byte Foundation takes for white space
        {"\xE2\x80\xAF" "7", 7, false},        // U+202F
        {"255", 255, false},  // each width the document holds an integer in, at its edges
        {"256", 256, false},
        {"65535", 65535, false},
        {"65536", 65536, false},
        {"4294967295", 4294967295u, false},
        {"4294967296", 4294967296u, false},
        {"-1", static_cast<std::uint64_t>(-1), false},
        {"0x1F", 31, false},
        {"0XfF", 255, false},
        {"-0x10", static_cast<std::uint64_t>(-16), false},
        {"9223372036854775807", 9223372036854775807ull, false},
        {"9223372036854775808", 9223372036854775808ull, true},
        {"18446744073709551615", 18446744073709551615ull, true},
        {"-9223372036854775808", 9223372036854775808ull, false},
    };
    for (const auto& a : accepted) {
        Value v = valueOf(std::string("<integer>") + a.text + "</integer>");
        EXPECT_TRUE(v.is(Type::Integer)) << a.text;
        EXPECT_EQ(v.bits(), a.bits) << a.text;
        EXPECT_EQ(v.isUnsigned(), a.isUnsigned) << a.text;
    }
    const char* refused[] = {
        "<integer/>", "<integer></integer>", "<integer> </integer>", "<integer>5 </integer>",
        "<integer>1a</integer>", "<integer>ff</integer>", "<integer>0x</integer>", "<integer>0xg</integer>",
        "<integer>18446744073709551616</integer>", "<integer>-9223372036854775809</integer>",
        "<integer>1.0</integer>", "<integer>&#49;</integer>", "<integer><![CDATA[1]]></integer>",
        "<integer>+-1</integer>", "<integer>-</integer>", "<integer>1</integer >x",
    };
    for (const char* e : refused) EXPECT_TRUE(refusesElement(e)) << e;
}

TEST(XmlReal, Grammar) {
    EXPECT_TRUE(std::isnan(valueOf("<real>NaN</real>").real()));
    EXPECT_EQ(valueOf("<real>inf</real>").real(), HUGE_VAL);
    EXPECT_EQ(valueOf("<real>+Infinity</real>").real(), HUGE_VAL);
    EXPECT_EQ(valueOf("<real>-INF</real>").real(), -HUGE_VAL);
    EXPECT_EQ(valueOf("<real>-infinity</real>").real(), -HUGE_VAL);
    EXPECT_EQ(valueOf("<real>1.5</real>").real(), 1.5);
    EXPECT_EQ(valueOf("<real>  -2e3</real>").real(), -2000.0);
    // Foundation's white space before the digits: control characters, 0x7F to
    // 0xA0, U+2000 to U+200B, U+3000.
    EXPECT_EQ(valueOf("<real>\x10.5</real>").real(), 0.5);
    EXPECT_EQ(valueOf("<real>\xC2\xA0\xE2\x80\x8B\xE3\x80\x80" "2</real>").real(), 2.0);
    EXPECT_EQ(valueOf("<real>.5</real>").real(), 0.5);
    EXPECT_EQ(valueOf("<real>32</real>").real(), 32.0);
    EXPECT_EQ(valueOf("<real>0.10000000000000001</real>").real(), 0.1);
    EXPECT_TRUE(std::signbit(valueOf("<real>-0.0</real>").real()));
    const char* refused[] = {
        "<real/>", "<real></real>", "<real>  </real>", "<real>1.5 </real>", "<real>1,5</real>",
        "<real>0x1p3</real>", "<real>abc</real>", "<real>1e</real>", "<real>nan(1)</real>",
        "<real> nan</real>", "<real>infinite</real>", "<real>--1</real>",
    };
    for (const char* e : refused) EXPECT_TRUE(refusesElement(e)) << e;
}

TEST(XmlReal, ReadsToStrtodsValueBitForBit) {
    // Texts of up to 19 digits are read without strtod where that is quick
    // and exact, at any power of ten; whatever they read to, strtod reads
    // too, to the end of the text.
    std::mt19937_64 rng(11);
    const char alphabet[] = "+-.0123456789eE";
    char buf[400];  // "%f" of the largest double takes 309 digits before the point
    for (int i = 0; i < 100000; ++i) {
        double d = std::pow(10.0, std::uniform_real_distribution<double>(i % 2 ? -25 : -330, i % 2 ? 25 : 310)(rng));
        std::string texts[] = {std::string(buf, std::snprintf(buf, sizeof buf, "%.17g", d)),
                               std::string(buf, std::snprintf(buf, sizeof buf, "%.*f", int(rng() % 25), -d)),
                               std::string(buf, std::snprintf(buf, sizeof buf, "%.*e", int(rng() % 20), d)),
                               std::string()};
        for (int k = int(rng() % 14); k >= 0; --k) texts[3] += alphabet[rng() % 15];
        for (const std::string& t : texts) {
            double mine;
            if (!plist::detail::realFromText(t, mine)) continue;
            char* end = nullptr;
            double theirs = std::strtod(t.c_str(), &end);
            ASSERT_EQ(end, t.c_str() + t.size()) << t;
            ASSERT_EQ(std::memcmp(&mine, &theirs, 8), 0) << t;
        }
    }
    // Texts whose digits a power of five divides, so that what they read
    // to is exact: 2^-23 to 2^-27, in full.
    for (int n = 23; n <= 27; ++n) {
        double mine, exact = std::ldexp(1.0, -n);
        std::string t(buf, std::snprintf(buf, sizeof buf, "%.18e", exact));
        ASSERT_TRUE(plist::detail::realFromText(t, mine)) << t;
        EXPECT_EQ(mine, exact) << t;
    }
}

TEST(XmlDate, Grammar) {
    EXPECT_EQ(valueOf("<date>2001-01-01T00:00:00Z</date>").real(), 0.0);
    EXPECT_EQ(valueOf("<date>2013-11-27T00:34:00Z</date>").real(), 407205240.0);
    EXPECT_EQ(valueOf("<date>2000-12-31T23:59:59Z</date>").real(), -1.0);
    EXPECT_EQ(valueOf("<date>1970-01-01T00:00:00Z</date>").real(), -978307200.0);
    EXPECT_EQ(valueOf("<date>0001-01-01T00:00:00Z</date>").real(), -63113904000.0);
    EXPECT_EQ(valueOf("<date>1-12-30T00:00:00Z</date>").real(), -63082540800.0);
    EXPECT_EQ(valueOf("<date>12001-01-01T00:00:00Z</date>").real(), 315569520000.0);
    EXPECT_EQ(valueOf("<date>-001-01-01T00:00:00Z</date>").real(), -63177062400.0);
    const char* refused[] = {
        "<date/>", "<date></date>", "<date>2001-01-01T00:00:00</date>", "<date>2001-01-01T00:00:00.5Z</date>",
        "<date>2001-01-01T00:00:00+01:00</date>", "<date> 2001-01-01T00:00:00Z</date>",
        "<date>2001-01-01T00:00:00Z </date>", "<date>2001-1-01T00:00:00Z</date>", "<date>2001-01-01 00:00:00Z</date>",
        "<date>garbage</date>",
    };
    for (const char* e : refused) EXPECT_TRUE(refusesElement(e)) << e;
}

TEST(XmlData, Base64AsFoundationDecodesIt) {
    EXPECT_EQ(valueOf("<data>AQIDBA==</data>").text(), "\x01\x02\x03\x04");
    EXPECT_EQ(valueOf("<data>\n\tAQID\n\tBA==\n</data>").text(), "\x01\x02\x03\x04");
    EXPECT_EQ(valueOf("<data>QUJD</data>").text(), "ABC");
    EXPECT_EQ(valueOf("<data>QUI=</data>").text(), "AB");
    EXPECT_EQ(valueOf("<data>Q!U#J$D</data>").text(), "ABC");  // outside the alphabet: skipped
    EXPECT_EQ(valueOf("<data>QUJDQQ</data>").text(), "ABC");    // trailing partial group dropped
    EXPECT_EQ(valueOf("<data></data>").text(), "");
    EXPECT_TRUE(refusesElement("<data/>"));
    EXPECT_TRUE(refusesElement("<data>QU\xC3\xA9JD</data>"));
    EXPECT_TRUE(refusesElement("<data>QUJD"));
}

TEST(XmlBoolean, BothForms) {
    EXPECT_TRUE(valueOf("<true/>").boolean());
    EXPECT_FALSE(valueOf("<false/>").boolean());
    EXPECT_TRUE(valueOf("<true></true>").boolean());
    EXPECT_FALSE(valueOf("<false></false >").boolean());
    EXPECT_TRUE(refusesElement("<true></false>"));
    EXPECT_TRUE(refusesElement("<true> </true>"));
}

std::string utf16(const std::string& ascii, bool bigEndian, bool bom) {
    std::string out;
    if (bom) out += bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char c : ascii) {
        out += bigEndian ? '\0' : c;
        out += bigEndian ? c : '\0';
    }
    return out;
}

std::string utf32(const std::string& ascii, bool bigEndian) {
    std::string out = bigEndian ? std::string("\0\0\xFE\xFF", 4) : std::string("\xFF\xFE\0\0", 4);
    for (char c : ascii) out += bigEndian ? std::string(3, '\0') + c : c + std::string(3, '\0');
    return out;
}

TEST(XmlEncoding, ByteOrderMarksAndDeclarations) {
    const std::string doc = "<?xml version=\"1.0\"?><dict><key>k</key><string>v</string></dict>";
    auto reads = [](const std::string& bytes) {
        plist::ReadResult r = plist::readXml(bytes);
        return r && plist::valueOf(r).is(Type::Dictionary) && plist::valueOf(r).dict().find("k") &&
               plist::valueOf(r).dict().find("k")->text() == "v";
    };
    EXPECT_TRUE(reads("\xEF\xBB\xBF" + doc));
    EXPECT_TRUE(reads(utf16(doc, true, true)));
    EXPECT_TRUE(reads(utf16(doc, false, true)));
    EXPECT_TRUE(reads(utf16(doc, true, false)));
    EXPECT_TRUE(reads(utf16(doc, false, false)));
    EXPECT_TRUE(reads(utf32(doc, true)));
    EXPECT_TRUE(reads(utf32(doc, false)));
    EXPECT_TRUE(reads("<?xml version=\"1.0\" encoding=\"UTF-8\"?><dict><key>k</key><string>v</string></dict>"));
    EXPECT_TRUE(reads("<?xml version=\"1.0\" encoding=\"utf-8\"?><dict><key>k</key><string>v</string></dict>"));

    plist::ReadResult latin1 =
        plist::readXml("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><dict><key>k</key><string>\xE9</string></dict>");
    ASSERT_TRUE(latin1) << latin1.error;
    EXPECT_EQ(plist::valueOf(latin1).dict().find("k")->text(), "\xC3\xA9");
    // Text that more than doubles in UTF-8 makes the conversion grow its output.
    std::string wide = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><dict><key>k</key><string>" +
                       std::string(100000, '\xE9') + "</string></dict>";
    plist::ReadResult grown = plist::readXml(wide);
    ASSERT_TRUE(grown) << grown.error;
    EXPECT_EQ(plist::valueOf(grown).dict().find("k")->text().size(), 200000u);
    EXPECT_FALSE(plist::readXml("<?xml version=\"1.0\" encoding=\"no-such-charset\"?><dict/>"));
    EXPECT_FALSE(plist::readXml("<?xml version=\"1.0\" encoding=\"US-ASCII\"?><dict><key>k</key><string>\xE9</string></dict>"));
}

// A declared name is found as Foundation finds it: "encoding=" anywhere in
// the declaration, ISO-8859-n, cp<n> and windows-<n> by their number, other
// names with case and all but letters and digits left out.
TEST(XmlEncoding, NamesAreMatchedAsFoundationMatchesThem) {
    struct {
        const char* name;
        const char* e9;  // what the byte 0xE9 is in it, as UTF-8
    } names[] = {
        {"iso-8859-1", "\xC3\xA9"},   {"ISO_8859-1", "\xC3\xA9"},   {"Latin-1", "\xC3\xA9"},
        {"iso-8859-01", "\xC3\xA9"},  {"iso-8859-1:1987", "\xC3\xA9"}, {"l1", "\xC3\xA9"},
        {"IBM819", "\xC3\xA9"},       {"cp1252", "\xC3\xA9"},       {"windows-1252", "\xC3\xA9"},
        {"ISO-8859-5", "\xD1\x89"},   {"iso8859_7", "\xCE\xB9"},    {"Mac-Roman", "\xC3\x88"},
    };
    for (const auto& n : names) {
        plist::ReadResult r = plist::readXml(std::string("<?xml version=\"1.0\" encoding=\"") + n.name +
                                             "\"?><dict><key>k</key><string>\xE9</string></dict>");
        ASSERT_TRUE(r) << n.name << ": " << r.error;
        EXPECT_EQ(plist::valueOf(r).dict().find("k")->text(), n.e9) << n.name;
    }
    for (const char* decl : {"<?xml version=\"1.0\" encoding=\"UTF/8\"?>", "<?xml version=\"1.0\"\x01encoding='u.t.f.8'?>",
                             "<?xml encoding=\"UT]]>F-8\"?>"}) {
        plist::ReadResult r = plist::readXml(std::string(decl) + "<dict><key>k</key><string>\xC3\xA9</string></dict>");
        ASSERT_TRUE(r) << decl << ": " << r.error;
        EXPECT_EQ(plist::valueOf(r).dict().find("k")->text(), "\xC3\xA9");
    }
}

// Text in a character set of a byte a character reads as iconv converts it
// whole: bytes not in the set refuse the file, and where a converter joins
// a letter to the accent after it (windows-1255, windows-1258), they join.
TEST(XmlEncoding, TextOfAByteACharacterReadsAsIconvConvertsItWhole) {
    auto whole = [](const std::string& charset, const std::string& bytes) -> std::optional<std::string> {
        iconv_t cd = iconv_open("UTF-8", charset.c_str());
        EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << charset;
        std::string out(4 * bytes.size() + 16, '\0');
        char *in = const_cast<char*>(bytes.data()), *to = out.data();
        std::size_t inLeft = bytes.size(), outLeft = out.size();
        bool ok = iconv(cd, &in, &inLeft, &to, &outLeft) != static_cast<std::size_t>(-1);
        iconv_close(cd);
        if (!ok) return std::nullopt;
        out.resize(out.size() - outLeft);
        return out;
    };
    for (std::string charset : {"ISO-8859-1", "ISO-8859-3", "windows-1252", "KOI8-R", "macintosh", "windows-1255",
                                "windows-1258"}) {
        std::string all, valid;  // each byte from 0x80 after a letter; only those valid alone
        for (int b = 0x80; b < 0x100; ++b) {
            std::string pair = {'a', static_cast<char>(b)};
            all += pair;
            if (whole(charset, pair)) valid += pair;
        }
        for (const std::string& text : {all, valid}) {
            // As in the file, the next character ends a character held to see what follows it.
            std::optional<std::string> expected = whole(charset, text + "<");
            if (expected) expected->pop_back();
            plist::ReadResult r = plist::readXml("<?xml version=\"1.0\" encoding=\"" + charset +
                                                 "\"?><dict><key>k</key><string>" + text + "</string></dict>");
            ASSERT_EQ(bool(r), bool(expected)) << charset << ": " << r.error;
            if (r) {
                EXPECT_EQ(plist::valueOf(r).dict().find("k")->text(), *expected) << charset;
            }
        }
    }
}

// UTF-16 text is converted a unit at a time, pairs combined and lone
// surrogates kept, wherever they fall: at the end, side by side, after ASCII,
// inside a run of ASCII, in either byte order.
TEST(XmlEncoding, Utf16TextIsConvertedUnitByUnit) {
    const std::uint16_t pool[] = {'a', '<', 0x7F, 0x80, 0xE9, 0x7FF, 0x800, 0xFFFD, 0xD83D, 0xDE00, 0xDBFF, 0xDC00,
                                  0x180, 0x4100};
    std::mt19937 rng(7);
    for (int round = 0; round < 604; ++round) {
        bool bigEndian = round & 1;
        std::vector<std::uint16_t> units;
        for (std::size_t n = round < 600 ? rng() % 60 : 0; n > 0; --n) {
            std::uint16_t letter = static_cast<std::uint16_t>('a' + rng() % 26);  // runs of ASCII, mostly
            units.push_back(rng() % 3 != 0 ? letter : pool[rng() % (sizeof pool / sizeof pool[0])]);
        }
        // Pairs past any piece the text may be converted in, at even and
        // at odd units: a pair is never split.
        if (round >= 600 && (round & 2)) units.push_back('a');
        for (int n = round < 600 ? 0 : 700; n > 0; --n) units.insert(units.end(), {0xD83D, 0xDE00});
        std::string doc = utf16("<dict><key>k</key><string>", bigEndian, true);
        for (std::uint16_t u : units) {
            if (u == '<') u = 'b';  // markup
            doc += static_cast<char>(bigEndian ? u >> 8 : u & 0xFF);
            doc += static_cast<char>(bigEndian ? u & 0xFF : u >> 8);
        }
        doc += utf16("</string></dict>", bigEndian, false);
        for (auto& u : units)
            if (u == '<') u = 'b';
        std::string expected;
        for (std::size_t i = 0; i < units.size(); ++i) {
            std::uint32_t cp = units[i];
            bool pair = cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
                        units[i + 1] <= 0xDFFF;
            if (pair) cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00u);
            plist::unicode::append(expected, cp);
        }
        plist::ReadResult r = plist::readXml(doc);
        ASSERT_TRUE(r) << r.error;
        ASSERT_EQ(plist::valueOf(r).dict().find("k")->text(), expected) << round;
    }
}

// A file's text converted in the pieces its reads return: an odd byte or
// a high surrogate may end any piece.
TEST(XmlEncoding, Utf16TextConvertedInPiecesIsTheTextConvertedWhole) {
    const std::uint16_t pool[] = {'a', 0xE9, 0x800, 0xD83D, 0xDE00, 0xDBFF, 0xDC00};
    std::mt19937 rng(11);
    for (int round = 0; round < 2000; ++round) {
        bool bigEndian = rng() & 1;
        std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
        for (std::size_t n = 1 + rng() % 30; n > 0; --n) {  // a mark alone is no UTF-16
            std::uint16_t u = pool[rng() % (sizeof pool / sizeof pool[0])];
            bytes += static_cast<char>(bigEndian ? u >> 8 : u & 0xFF);
            bytes += static_cast<char>(bigEndian ? u & 0xFF : u >> 8);
        }
        if (rng() % 3 == 0) bytes += 'x';
        std::optional<std::string> whole;
        plist::encoding::Detected detected;
        std::string_view text;
        ASSERT_TRUE(plist::encoding::unicodeText(bytes, whole, detected, text));
        ASSERT_EQ(detected, plist::encoding::Detected::Utf16);
        plist::encoding::Utf16Converter pieces(bigEndian, bytes.size());
        for (std::size_t at = 2; at < bytes.size();) {
            std::size_t n = std::min<std::size_t>(rng() % 6, bytes.size() - at);
            pieces.add(bytes.data() + at, n);
            at += n;
        }
        ASSERT_EQ(pieces.finish(), *whole) << round;
    }
}

TEST(XmlEncoding, LoneSurrogateInUtf16TextLoadsButCannotBeWritten) {
    std::string doc = utf16("<dict><key>k</key><string>", false, true);
    doc += std::string("\x00\xD8", 2);  // U+D800, unpaired
    doc += utf16("</string></dict>", false, false);
    plist::ReadResult r = plist::readXml(doc);
    ASSERT_TRUE(r) << r.error;
    std::string out;
    EXPECT_FALSE(plist::writeXml(plist::valueOf(r).dict(), out));
    EXPECT_FALSE(plist::writeXml(*r.document, out));  // the document as read, not a copy of its values
    // In a key: alone in its dictionary, and beside another key.
    for (std::string beside : {"", "<key>b</key><true/>"}) {
        std::string keyed = utf16("<dict><key>a</key><dict>" + beside + "<key>", false, true);
        keyed += std::string("\x00\xD8", 2);
        keyed += utf16("</key><true/></dict></dict>", false, false);
        plist::ReadResult k = plist::readXml(keyed);
        ASSERT_TRUE(k) << k.error;
        EXPECT_FALSE(plist::writeXml(*k.document, out)) << beside;
    }
}

}  // namespace
