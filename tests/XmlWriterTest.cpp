// The writer's bytes: Foundation's layout, and the deviations that keep data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>

#include "Bplist.h"
#include "PropertyList.h"
#include "ScalarText.h"
#include "Values.h"
#include "TestFiles.h"
#include "Unicode.h"

namespace {

using plist::Value;

const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

std::string write(const plist::Document& d) {
    std::string out, error;
    EXPECT_TRUE(plist::writeXml(d, out, &error)) << error;
    return out;
}

std::string write(const plist::Dictionary& d) { return write(*plist::documentOf(d)); }

// The text written for a root dict {"v": value}, between "<key>v</key>\n" and "</dict>".
std::string written(const Value& v) {
    plist::Dictionary d;
    d.set("v", v);
    std::string out = write(d);
    std::string start = "\t<key>v</key>\n";
    std::size_t at = out.find(start);
    return out.substr(at + start.size(), out.size() - at - start.size() - std::string("</dict>\n</plist>\n").size());
}

std::shared_ptr<plist::Array> items(std::vector<Value> v) { return std::make_shared<plist::Array>(std::move(v)); }

TEST(XmlWriter, MatchesFilesFoundationWrote) {
    // Written by Foundation itself; the binary twin of the first says the same.
    const char* golden[] = {
        "corpus/valid/cpython-testdata-xml.plist",
        "corpus/valid/libplist-7.plist",
        "corpus/valid/swiftclf-NSKeyedUnarchiver-UUIDTest.plist",
        "corpus/valid/swiftfnd-generic-xml-properties.plist",
    };
    for (const char* name : golden) {
        std::string bytes = readFile(testData(name));
        auto dict = plist::readDictionary(bytes);
        ASSERT_TRUE(dict) << name;
        EXPECT_EQ(write(*dict), bytes) << name;
    }
    auto fromBinary = plist::readDictionary(readFile(testData("corpus/valid/cpython-testdata-binary.plist")));
    ASSERT_TRUE(fromBinary);
    EXPECT_EQ(write(*fromBinary), readFile(testData("corpus/valid/cpython-testdata-xml.plist")));
}

TEST(XmlWriter, EmptyAndScalarLayout) {
    EXPECT_EQ(write(plist::Dictionary()), kHead + "<dict/>\n</plist>\n");
    EXPECT_EQ(written(Value::boolean(true)), "\t<true/>\n");
    EXPECT_EQ(written(Value::boolean(false)), "\t<false/>\n");
    EXPECT_EQ(written(Value::integer(-42)), "\t<integer>-42</integer>\n");
    EXPECT_EQ(written(Value::integer(INT64_MIN)), "\t<integer>-9223372036854775808</integer>\n");
    EXPECT_EQ(written(Value::unsignedInteger(UINT64_MAX)), "\t<integer>18446744073709551615</integer>\n");
    EXPECT_EQ(written(Value::string("")), "\t<string></string>\n");
    EXPECT_EQ(written(Value::array(items({}))), "\t<array/>\n");
    EXPECT_EQ(written(Value::dictionary(plist::makeDictionary())), "\t<dict/>\n");
    EXPECT_EQ(written(Value::array(items({Value::integer(1), Value::array(items({Value::boolean(true)}))}))),
              "\t<array>\n\t\t<integer>1</integer>\n\t\t<array>\n\t\t\t<true/>\n\t\t</array>\n\t</array>\n");
    EXPECT_EQ(written(Value::uid(7)), "\t<dict>\n\t\t<key>CF$UID</key>\n\t\t<integer>7</integer>\n\t</dict>\n");
}

TEST(XmlWriter, EscapesOnlyWhatMustBeEscaped) {
    EXPECT_EQ(written(Value::string("<a & b>")), "\t<string>&lt;a &amp; b&gt;</string>\n");
    EXPECT_EQ(written(Value::string("\"'\t\x01\n")), "\t<string>\"'\t\x01\n</string>\n");
    // A raw CR would come back as LF from a standard XML reader.
    EXPECT_EQ(written(Value::string("a\r\nb")), "\t<string>a&#13;\nb</string>\n");
    // Long text is scanned a word at a time: each character at each place
    // of a word, and two in one word.
    const std::pair<char, const char*> escapes[] = {{'<', "&lt;"}, {'>', "&gt;"}, {'&', "&amp;"}, {'\r', "&#13;"}};
    for (const auto& [c, entity] : escapes)
        for (std::size_t at = 0; at < 20; ++at) {
            std::string text(20, 'a'), expected;
            text[at] = c, text[(at + 3) % 20] = c;
            for (char t : text) expected += t == c ? std::string(entity) : std::string(1, t);
            EXPECT_EQ(written(Value::string(text)), "\t<string>" + expected + "</string>\n") << at;
        }
    // Text far longer than the write buffer, where nearly every byte grows
    // to an entity of four or five, after text that has filled part of it.
    std::string text, expected;
    for (std::size_t i = 0; i < 300000; ++i) {
        const auto& [c, entity] = escapes[i % 4];
        char t = i % 7 == 0 ? 'a' : c;
        text += t;
        expected += t == 'a' ? "a" : entity;
    }
    const std::string plain(100000, 'b');
    EXPECT_EQ(written(Value::array(items({Value::string(plain), Value::string(text)}))),
              "\t<array>\n\t\t<string>" + plain + "</string>\n\t\t<string>" + expected + "</string>\n\t</array>\n");
}

TEST(XmlWriter, Reals) {
    struct {
        double d;
        const char* text;
    } cases[] = {
        {0.1, "0.10000000000000001"}, {1.0, "1"}, {1e20, "1e+20"}, {0.5, "0.5"}, {-2.25, "-2.25"},
        {0.0, "0.0"}, {-0.0, "-0.0"}, {NAN, "nan"}, {HUGE_VAL, "+infinity"}, {-HUGE_VAL, "-infinity"},
        {5e-324, "4.9406564584124654e-324"}, {1.7976931348623157e308, "1.7976931348623157e+308"},
        {1234567890123456.25, "1234567890123456.2"}, {1234567890123456.75, "1234567890123456.8"},  // ties to even
        {1e17, "1e+17"}, {0.0001, "0.0001"}, {0.00001, "1.0000000000000001e-05"},
        {-9623.0, "-9623"}, {99999999999999984.0, "99999999999999984"},  // whole, up to the last below 10^17
        {0x1p-10, "0.0009765625"}, {0x1p-14, "6.103515625e-05"}, {-6222.5, "-6222.5"},  // binary fractions
    };
    for (const auto& c : cases)
        EXPECT_EQ(written(Value::real(c.d)), std::string("\t<real>") + c.text + "</real>\n") << c.text;
    // The digits are worked out without printf where they can be; they
    // are printf's "%.17g" everywhere.
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> tens(-9, 40);
    for (int i = 0; i < 100000; ++i) {
        std::uint64_t bits = rng();
        double any;
        std::memcpy(&any, &bits, 8);
        double d = i % 2 ? any : std::pow(10.0, tens(rng)) * (i % 4 ? 1 : -1);
        for (double v : {d, std::nextafter(d, 0.0), std::floor(d * 4) / 4}) {
            if (std::isnan(v) || std::isinf(v) || v == 0) continue;
            char mine[64], theirs[64];
            std::snprintf(theirs, sizeof theirs, "%.17g", v);
            ASSERT_STREQ(plist::detail::RealTexts::realText(v, mine, sizeof mine).data(), theirs) << std::hexfloat << v;
        }
    }
}

TEST(XmlWriter, DatesInUtcWithTheFractionFloored) {
    struct {
        double seconds;
        const char* text;
    } cases[] = {
        {0, "2001-01-01T00:00:00Z"},
        {0.999, "2001-01-01T00:00:00Z"},
        {-0.5, "2000-12-31T23:59:59Z"},
        {-1, "2000-12-31T23:59:59Z"},
        {407205240, "2013-11-27T00:34:00Z"},
        {-978307200, "1970-01-01T00:00:00Z"},
        {-63114076800.0, "0000-12-30T00:00:00Z"},
        {-63177062400.0, "-001-01-01T00:00:00Z"},
        {315569520000.0, "12001-01-01T00:00:00Z"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(written(Value::date(c.seconds)), std::string("\t<date>") + c.text + "</date>\n") << c.text;
}

TEST(XmlWriter, DataLinesNarrowWithDepth) {
    std::string bytes(100, '\xAB');
    // Depth 1: 68 characters a line, one tab.
    std::string b64;
    {
        static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (std::size_t i = 0; i < bytes.size(); i += 3) {
            std::uint32_t v = 0;
            std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
            for (std::size_t k = 0; k < 3; ++k) v = (v << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0);
            for (std::size_t k = 0; k < 4; ++k) b64 += k <= n ? alphabet[(v >> (18 - 6 * k)) & 63] : '=';
        }
    }
    ASSERT_EQ(b64.size(), 136u);
    EXPECT_EQ(written(Value::data(bytes)),
              "\t<data>\n\t" + b64.substr(0, 68) + "\n\t" + b64.substr(68) + "\n\t</data>\n");

    // Depth 9: 12 characters a line, indented 8 tabs, the close tag at 9.
    Value deep = Value::data(bytes);
    for (int i = 0; i < 8; ++i) deep = Value::array(items({deep}));
    std::string text = written(deep);
    std::string expected;
    for (std::size_t i = 0; i < b64.size(); i += 12) expected += std::string(8, '\t') + b64.substr(i, 12) + "\n";
    std::string nine(9, '\t');
    EXPECT_NE(text.find(nine + "<data>\n" + expected + nine + "</data>\n"), std::string::npos) << text;

    EXPECT_EQ(written(Value::data("")), "\t<data>\n\t</data>\n");
    EXPECT_EQ(written(Value::data("ab")), "\t<data>\n\tYWI=\n\t</data>\n");
}

TEST(XmlWriter, KeysSortByUtf16CodeUnits) {
    plist::Dictionary d;
    const char* keys[] = {
        "b", "a", "B", "", "ab", "\xC3\x85\x62\x65nraa",  // U+00C5
        "\xEF\xBD\xA1",                                // U+FF61
        "\xF0\x9F\x98\x80",                            // U+1F600: D83D DE00 in UTF-16
        "\xED\x9F\xBF",                                // U+D7FF
    };
    for (const char* k : keys) d.set(k, Value::boolean(true));
    std::string out = write(d);
    std::vector<std::string> order;
    for (std::size_t at = out.find("<key>"); at != std::string::npos; at = out.find("<key>", at + 1))
        order.push_back(out.substr(at + 5, out.find("</key>", at) - at - 5));
    std::vector<std::string> expected = {
        "", "B", "a", "ab", "b", "\xC3\x85\x62\x65nraa", "\xED\x9F\xBF", "\xF0\x9F\x98\x80", "\xEF\xBD\xA1",
    };
    EXPECT_EQ(order, expected);
}

// A text's keys are ranked by their first bytes wherever those sort as
// UTF-16 does, and by a walk of their code units where they may not; keys
// read in order, and keys read out of order. In some rounds they are a
// level down, after many dictionaries of one key each, whose keys are set
// apart unsorted: those of a dictionary of two or more still sort.
TEST(XmlWriter, KeysReadFromTextSortByUtf16CodeUnits) {
    const std::uint32_t pool[] = {'a', 'b', 0xE9, 0x6570, 0xCFFF, 0xD7FF, 0xE000, 0xFF61, 0xFFFF, 0x10000, 0x1F600};
    std::mt19937 rng(9);
    for (int round = 0; round < 300; ++round) {
        bool apart = round % 3 == 2;
        std::map<std::u16string, std::string> keys;  // in code-unit order
        while (keys.size() < (round % 4 == 2 ? 2u : 12u)) {
            std::string text;
            std::u16string units;
            for (std::size_t n = 1 + rng() % 6; n > 0; --n) {
                std::uint32_t cp = pool[rng() % (sizeof pool / sizeof pool[0])];
                plist::unicode::append(text, cp);
                if (cp >= 0x10000) units += {static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)),
                                             static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF))};
                else units += static_cast<char16_t>(cp);
            }
            keys.emplace(units, text);
        }
        std::vector<std::string> expected, shuffled;
        for (const auto& k : keys) expected.push_back(k.second);
        shuffled = expected;
        if (round % 2 == 0) std::shuffle(shuffled.begin(), shuffled.end(), rng);
        std::string xml = "<plist><dict>";
        if (apart) {
            xml += "<key>0</key><array>";
            for (int i = 1; i <= 20; ++i) xml += "<dict><key>" + std::to_string(i) + "</key><true/></dict>";
            xml += "<dict>";
        }
        for (const std::string& k : shuffled) xml += "<key>" + k + "</key><true/>";
        plist::ReadResult r = plist::readXml(xml + (apart ? "</dict></array></dict></plist>" : "</dict></plist>"));
        ASSERT_TRUE(r) << r.error;
        std::string out;
        ASSERT_TRUE(plist::writeXml(*r.document, out));
        std::vector<std::string> order;
        for (std::size_t at = out.find("<key>"); at != std::string::npos; at = out.find("<key>", at + 1)) {
            std::string key = out.substr(at + 5, out.find("</key>", at) - at - 5);
            if (key[0] < '0' || key[0] > '9') order.push_back(key);  // none of the pool's starts so
        }
        ASSERT_EQ(order, expected) << round;
    }
}

TEST(XmlWriter, RecordsOutOfOrderWriteTheirOwnValues) {
    // Records whose keys come in one order, not sorted, as a writer that
    // keeps no order leaves them; between them, the same keys in another
    // order, other keys as many, and (in a binary file) one text under two
    // objects, whose first value is kept.
    const char* const orders[] = {"cab", "cab", "cad", "cab", "bca", "cab", "caA", "caA"};
    Bplist b;
    std::map<char, Bplist::Ref> keyOf;
    for (char c : std::string("abcd")) keyOf[c] = b.ascii(std::string(1, c));
    keyOf['A'] = b.ascii("a");
    std::vector<Bplist::Ref> records;
    std::string xml = "<plist><dict><key>R</key><array>", expected = "\t<array>\n";
    int value = 0;
    for (const char* order : orders) {
        std::vector<Bplist::Ref> keys, values;
        std::map<char, int> sorted;
        xml += "<dict>";
        for (const char* k = order; *k; ++k, ++value) {
            keys.push_back(keyOf[*k]), values.push_back(b.integer(value));
            sorted.emplace(*k == 'A' ? 'a' : *k, value);
            xml += std::string("<key>") + *k + "</key><integer>" + std::to_string(value) + "</integer>";
        }
        records.push_back(b.dict(keys, values));
        xml += "</dict>";
        if (std::string(order) == "caA") continue;  // a text's equal keys are its reader's to settle
        expected += "\t\t<dict>\n";
        for (const auto& [k, v] : sorted)
            expected += std::string("\t\t\t<key>") + k + "</key>\n\t\t\t<integer>" + std::to_string(v) + "</integer>\n";
        expected += "\t\t</dict>\n";
    }
    plist::ReadResult text = plist::readXml(xml + "</array></dict></plist>");
    ASSERT_TRUE(text) << text.error;
    EXPECT_NE(write(*text.document).find(expected), std::string::npos);
    expected += "\t\t<dict>\n\t\t\t<key>a</key>\n\t\t\t<integer>19</integer>\n\t\t\t<key>c</key>\n"
                "\t\t\t<integer>18</integer>\n\t\t</dict>\n\t\t<dict>\n\t\t\t<key>a</key>\n"
                "\t\t\t<integer>22</integer>\n\t\t\t<key>c</key>\n\t\t\t<integer>21</integer>\n\t\t</dict>\n"
                "\t</array>\n";
    plist::ReadResult binary = plist::readBinary(b.build(b.dict({b.ascii("R")}, {b.array(records)})));
    ASSERT_TRUE(binary) << binary.error;
    EXPECT_NE(write(*binary.document).find(expected), std::string::npos) << write(*binary.document);
}

// Keys out of order are sorted by their first sixteen bytes, then by their
// texts where those tie: long shared starts, runs small and past the ones
// whose texts are fetched once, a binary file's Latin-1 and UTF-16 keys of
// one text (one key to the writer), and texts beyond U+FFFF.
TEST(XmlWriter, KeysOutOfOrderSharingLongStartsSortByUtf16) {
    std::mt19937 rng(21);
    const std::u16string stems[] = {u"AgentStra\u00dfe-49", u"com.example.agent.patch.",
                                    u"\u6570\u636e\u6570\u636e\u6570\u636e-", u"Caf\u00e9Caf\u00e9Caf\u00e9Caf\u00e9"};
    for (bool wide : {false, true}) {
        std::vector<std::u16string> keys;
        auto unit = [](int c) { return std::u16string(1, static_cast<char16_t>(c)); };
        for (int i = 0; i < 5000; ++i)
            keys.push_back(stems[1] + unit(u'0' + i % 10) + u"x" + unit(u'a' + i % 26) + unit(u'a' + i / 26 % 26));
        const char16_t others[] = {0xE9, 0xEA, 0x7FF, 0x800};  // two bytes of UTF-8, and three
        auto tail = [&](std::u16string k, bool beyond) {
            for (int n = static_cast<int>(rng() % 4); n >= 0; --n)
                k += rng() % 3 ? static_cast<char16_t>(u'0' + rng() % 10) : others[rng() % 4];
            return beyond ? k + u"\U0001F600" : k;
        };
        for (int i = 0; i < 3000; ++i) keys.push_back(tail(stems[i % 4], wide && i % 50 == 0));
        // As many again tying on sixteen bytes, the last a character's first.
        for (int i = 0; i < 5000; ++i) {
            std::u16string tied = u"AgentAgentAgent" + unit(0xE9 + i % 3);
            keys.push_back(tail(tied + unit(u'a' + i / 3 % 26) + unit(u'a' + i / 78 % 26), wide && i % 500 == 0));
        }
        std::shuffle(keys.begin(), keys.end(), rng);
        // In code-unit order, each with its value's text; of equal keys a
        // binary file's first value is kept, a text's last.
        std::map<std::u16string, std::string> first, last;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            std::string value = "<integer>" + std::to_string(i) + "</integer>";
            first.emplace(keys[i], value), last[keys[i]] = value;
        }
        auto utf8 = [](const std::u16string& k) {
            std::string out;
            for (std::size_t i = 0; i < k.size(); ++i) {
                std::uint32_t u = k[i];
                if (u >= 0xD800 && u < 0xDC00) u = 0x10000 + ((u - 0xD800) << 10) + (k[++i] - 0xDC00u);
                plist::unicode::append(out, u);
            }
            return out;
        };
        auto entries = [&](const std::map<std::u16string, std::string>& values) {
            std::string text = "<dict>\n";
            for (const auto& k : values) text += "\t<key>" + utf8(k.first) + "</key>\n\t" + k.second + "\n";
            return text + "</dict>";
        };
        // Edits land in their places among these keys: one replaced, new
        // ones first, among the others and last.
        const std::u16string edits[] = {u"", keys[0], keys[1] + u"!", u"\uFFFD\uFFFD"};
        auto edited = [&](plist::Document& doc, std::map<std::u16string, std::string> values) {
            for (const std::u16string& k : edits) doc.set(utf8(k), plist::Scalar::boolean(true)), values[k] = "<true/>";
            return entries(values);
        };
        // As a binary file, each key Latin-1 where it can be, or UTF-16 at random.
        Bplist b;
        std::vector<Bplist::Ref> refs, values;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            bool latin1 = std::all_of(keys[i].begin(), keys[i].end(), [](char16_t c) { return c < 0x100; });
            std::string bytes(keys[i].begin(), keys[i].end());
            refs.push_back(latin1 && rng() % 2 ? b.ascii(bytes) : b.utf16(keys[i]));
            values.push_back(b.integer(static_cast<std::int64_t>(i)));
        }
        plist::ReadResult binary = plist::readBinary(b.build(b.dict(refs, values)));
        ASSERT_TRUE(binary) << binary.error;
        std::string out = write(*binary.document);
        EXPECT_NE(out.find(entries(first)), std::string::npos) << wide;
        std::string expected = edited(*binary.document, first);
        EXPECT_NE(write(*binary.document).find(expected), std::string::npos) << wide;
        // As XML text.
        std::string xml = "<plist><dict>";
        for (std::size_t i = 0; i < keys.size(); ++i)
            xml += "<key>" + utf8(keys[i]) + "</key><integer>" + std::to_string(i) + "</integer>";
        plist::ReadResult text = plist::readXml(xml + "</dict></plist>");
        ASSERT_TRUE(text) << text.error;
        out = write(*text.document);
        EXPECT_NE(out.find(entries(last)), std::string::npos) << wide;
        expected = edited(*text.document, last);
        EXPECT_NE(write(*text.document).find(expected), std::string::npos) << wide;
    }
}

TEST(XmlWriter, KeysThatTieOnTheirPrefixesWithCharactersFromE000AreTwo) {
    // From U+E000 a character's prefix bytes are not its UTF-8 bytes: two
    // keys whose prefixes tie can differ within their first sixteen bytes.
    const std::string start = "abcdefghijklm", e000 = "\xEE\x80\x80", e001 = "\xEE\x80\x81";
    for (const std::string& end : {std::string("a"), std::string("\xF0\x9F\x98\x80")}) {
        std::string xml = "<plist><dict><key>" + start + e001 + end + "</key><integer>1</integer><key>" + start +
                          e000 + end + "</key><integer>2</integer><key>z</key><integer>3</integer></dict></plist>";
        plist::ReadResult r = plist::readXml(xml);
        ASSERT_TRUE(r) << r.error;
        EXPECT_NE(write(*r.document).find("<key>" + start + e000 + end + "</key>\n\t<integer>2</integer>\n\t<key>" +
                                          start + e001 + end + "</key>\n\t<integer>1</integer>\n\t<key>z</key>"),
                  std::string::npos);
    }
}

TEST(XmlWriter, KeyOrderAgreesWithUtf16OnRandomKeys) {
    const std::uint32_t pool[] = {'a', 'b', 0x7F, 0xE9, 0x7FF, 0xD7FF, 0xD800, 0xDC00, 0xE000, 0xFF61, 0xFFFF, 0x10000, 0x1F600};
    std::mt19937 rng(5);
    auto make = [&](std::string& text, std::u16string& units) {
        for (std::size_t n = rng() % 5; n > 0; --n) {
            std::uint32_t cp = pool[rng() % (sizeof pool / sizeof pool[0])];
            plist::unicode::append(text, cp);
            if (cp >= 0x10000) {
                units += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
                units += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                units += static_cast<char16_t>(cp);
            }
        }
    };
    for (int i = 0; i < 20000; ++i) {
        std::string a, b;
        std::u16string ua, ub;
        make(a, ua);
        make(b, ub);
        int order = plist::unicode::compareUtf16(a, b);
        ASSERT_EQ(order < 0 ? -1 : order > 0 ? 1 : 0, ua < ub ? -1 : ub < ua ? 1 : 0) << i;
    }
}

TEST(XmlWriter, RefusesWhatCannotBeWrittenFaithfully) {
    auto refuses = [](const Value& v) {
        plist::Dictionary d;
        d.set("v", v);
        std::string out = "untouched";
        bool ok = plist::writeXml(d, out);
        return !ok && out == "untouched";
    };
    EXPECT_TRUE(refuses(Value()));
    EXPECT_TRUE(refuses(Value::set(items({}))));
    EXPECT_TRUE(refuses(Value::string("a\xED\xA0\x80")));  // lone surrogate
    EXPECT_TRUE(refuses(Value::date(NAN)));
    EXPECT_TRUE(refuses(Value::date(HUGE_VAL)));
    EXPECT_TRUE(refuses(Value::array(items({Value::array(items({Value()}))}))));

    auto nonStringKey = plist::makeDictionary();
    nonStringKey->entries.emplace_back(Value::integer(1), Value::boolean(true));
    EXPECT_TRUE(refuses(Value::dictionary(nonStringKey)));

    Value tooDeep = Value::boolean(true);
    for (int i = 0; i < 512; ++i) tooDeep = Value::array(items({tooDeep}));
    EXPECT_TRUE(refuses(tooDeep));

    // A key with a lone surrogate, a level down and in the root.
    auto loneKey = plist::makeDictionary();
    loneKey->set("a\xED\xA0\x80", Value::boolean(true));
    EXPECT_TRUE(refuses(Value::dictionary(loneKey)));
    std::string out;
    EXPECT_FALSE(plist::writeXml(*loneKey, out));

    // Of two refusals in a root out of order, the one whose key sorts first
    // is reported, wherever the root holds it.
    plist::Dictionary two;
    two.set("b", Value());
    two.set("a", Value::date(HUGE_VAL));
    std::string error;
    EXPECT_FALSE(plist::writeXml(two, out, &error));
    EXPECT_EQ(error, "date out of range");
}

TEST(XmlWriter, ContainerReferencedAtMost1536Times) {
    // Empty ones too.
    for (const Value& shared : {Value::array(items({Value::integer(1)})), Value::array(items({})),
                                Value::dictionary(std::make_shared<plist::Dictionary>())}) {
        auto holder = [&](std::size_t n) { return Value::array(items(std::vector<Value>(n, shared))); };
        plist::Dictionary ok, tooMany;
        ok.set("v", holder(1536));
        tooMany.set("v", holder(1537));
        std::string out;
        EXPECT_TRUE(plist::writeXml(ok, out));
        EXPECT_FALSE(plist::writeXml(tooMany, out));
        // Occurrences multiply through shared parents: 40 x 40 = 1600.
        plist::Dictionary nested;
        Value forty = Value::array(items(std::vector<Value>(40, shared)));
        nested.set("v", Value::array(items(std::vector<Value>(40, forty))));
        EXPECT_FALSE(plist::writeXml(nested, out));
    }
}

TEST(XmlWriter, SharedTextMayNotExpandOutOfProportion) {
    // A binary file of some 50 KB: one 32 KB string, referenced 20000 times.
    Value big = Value::string(std::string(32768, 's'));
    plist::Dictionary bomb;
    bomb.set("v", Value::array(items(std::vector<Value>(20000, big))));
    std::string out = "untouched", error;
    EXPECT_FALSE(plist::writeXml(bomb, out, &error));
    EXPECT_EQ(out, "untouched");
    EXPECT_NE(error.find("proportion"), std::string::npos) << error;

    // What binary writers do every day: one short string shared widely.
    plist::Dictionary common;
    common.set("v", Value::array(items(std::vector<Value>(100000, Value::string("Yes")))));
    EXPECT_TRUE(plist::writeXml(common, out));
    // And a large value written once is no expansion at all.
    plist::Dictionary large;
    large.set("v", Value::data(std::string(100 << 20, 'd')));
    EXPECT_TRUE(plist::writeXml(large, out));
}

}  // namespace

// The bound on expansion holds only if the estimate it is checked against
// covers every byte: keys and each line's indent included.
TEST(XmlWriter, TheEstimateCoversWhatIsWritten) {
    auto estimateAndSize = [](const plist::Document& root) {
        plist::XmlText text(root);
        EXPECT_TRUE(text.check()) << text.error();
        std::size_t size = 0;
        text.write([&](std::string_view piece) {
            size += piece.size();
            return true;
        });
        return std::make_pair(text.expectedSize(), size);
    };
    // One dictionary with a long key, held 1000 times.
    auto keyed = std::make_shared<plist::Dictionary>();
    keyed->set(std::string(300, 'k'), Value::integer(7));
    Value wide = Value::array(items(std::vector<Value>(1000, Value::dictionary(keyed))));
    // Small values of every kind, 450 levels down.
    std::vector<Value> leaves;
    for (int i = 0; i < 50; ++i)
        for (Value v : {Value::uid(3), Value::data("\x01\x02\x03"), Value::string("s"), Value::real(0.1)})
            leaves.push_back(v);
    Value deep = Value::array(items(leaves));
    for (int i = 0; i < 450; ++i) deep = Value::array(items({Value::uid(9), deep}));

    for (const Value& v : {wide, deep}) {
        plist::Dictionary d;
        d.set("v", v);
        auto binary = plist::documentOf(d);
        ASSERT_TRUE(binary);
        auto [estimate, size] = estimateAndSize(*binary);
        EXPECT_GE(estimate, size);
        // And read from the XML, where nothing is shared.
        std::string xml;
        ASSERT_TRUE(plist::writeXml(*binary, xml));
        auto text = plist::readDictionary(xml);
        ASSERT_TRUE(text);
        auto [textEstimate, textSize] = estimateAndSize(*text);
        EXPECT_EQ(textSize, size);
        EXPECT_GE(textEstimate, textSize);
    }
}
