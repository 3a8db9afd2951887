// The old-style text format and strings files, rule by rule.
#include <gtest/gtest.h>

#include "PropertyList.h"
#include "Values.h"

namespace {

using plist::Type;
using plist::Value;

std::shared_ptr<plist::Dictionary> dict(const std::string& text) {
    auto d = plist::dictionaryOf(text);
    EXPECT_TRUE(d) << text << ": " << plist::readOpenStep(text).error;
    return d ? d : plist::makeDictionary();
}

std::string stringAt(const std::string& text, const std::string& key = "k") {
    auto d = dict(text);
    const Value* v = d->find(key);
    return v && v->is(Type::String) ? v->text() : "<missing>";
}

TEST(OpenStep, DictsArraysDataAndStrings) {
    auto d = dict("{ a = b; list = (1, \"two\", (), { x = y; },); hex = <0fBD 7a>; empty = {}; q = 'single'; }");
    EXPECT_EQ(d->find("a")->text(), "b");
    const Value& list = *d->find("list");
    ASSERT_TRUE(list.is(Type::Array));
    ASSERT_EQ(list.items().size(), 4u);
    EXPECT_EQ(list.items()[0], Value::string("1"));  // every scalar is a string
    EXPECT_TRUE(list.items()[2].is(Type::Array));
    EXPECT_EQ(list.items()[3].dict().find("x")->text(), "y");
    EXPECT_EQ(d->find("hex")->text(), "\x0f\xbd\x7a");
    EXPECT_TRUE(d->find("hex")->is(Type::Data));
    EXPECT_EQ(d->find("empty")->dict().size(), 0u);
    EXPECT_EQ(d->find("q")->text(), "single");
    EXPECT_EQ(stringAt("{ k = a_$/:.-Z9; }"), "a_$/:.-Z9");
    EXPECT_EQ(stringAt("{ k = a; k = b; }"), "b");  // the last duplicate wins
}

TEST(OpenStep, CommentsAndWhiteSpace) {
    EXPECT_EQ(stringAt("// line\n{ /* block */ k /**/ = // x\n v ; } // end"), "v");
    EXPECT_EQ(dict("{ k = <0f /* c */ bd>; }")->find("k")->text(), "\x0f\xbd");
    EXPECT_EQ(stringAt("\xE2\x80\xA8{ k = v; }\xE2\x80\xA9"), "v");  // Unicode line and paragraph separators
    // Nothing but white space and comments: an empty dictionary.
    for (const char* text : {" ", "\n\t", "// only a comment", "/* open comment"}) {
        auto d = plist::dictionaryOf(text);
        ASSERT_TRUE(d) << text;
        EXPECT_EQ(d->size(), 0u);
    }
    EXPECT_FALSE(plist::dictionaryOf(""));  // a zero-length file is an error
}

TEST(OpenStep, QuotedStringEscapes) {
    EXPECT_EQ(stringAt(R"({ k = "\a\b\f\n\r\t\v\"\\\'\q"; })"), "\a\b\f\n\r\t\v\"\\'q");
    EXPECT_EQ(stringAt("{ k = \"a\\\nb\"; }"), "a\nb");
    EXPECT_EQ(stringAt(R"({ k = "\U00e9\U20AC\Uzz"; })"), "\xC3\xA9\xE2\x82\xAC" + std::string(1, '\0') + "zz");
    EXPECT_EQ(stringAt(R"({ k = "\101\0619\7"; })"), "A19\a");
    // Octal above 0x7F names a NeXTSTEP character.
    EXPECT_EQ(stringAt(R"({ k = "\200\341\351\373\241"; })"), "\xC2\xA0\xC3\x86\xC3\x98\xC3\x9F\xC2\xA1");
    EXPECT_EQ(stringAt("{ k = \"it's\"; }"), "it's");
    EXPECT_EQ(stringAt("{ k = \"caf\xC3\xA9 \\\xC3\xA9\"; }"), "caf\xC3\xA9 \xC3\xA9");
}

TEST(OpenStep, StringsFiles) {
    auto d = dict("\"Key\" = \"Value\";\n\t\"Key2\" = \"Value2\";");
    EXPECT_EQ(d->find("Key")->text(), "Value");
    EXPECT_EQ(d->find("Key2")->text(), "Value2");
    d = dict("alone; \"other\" = x;");
    EXPECT_EQ(d->find("alone")->text(), "alone");  // "key;" is key = key
    EXPECT_EQ(d->find("other")->text(), "x");
    EXPECT_FALSE(plist::dictionaryOf("a = b"));        // the last ';' is required
    EXPECT_FALSE(plist::dictionaryOf("a = b; junk"));  // junk after the content
    EXPECT_FALSE(plist::dictionaryOf("word"));         // a string root is no dictionary
}

// Foundation's strings-file loop stops, without failing, where no key can
// start; an array's items stop where one gives up, and the array then ends
// there or fails.
TEST(OpenStep, EntriesAndItemsEndWhereFoundationsReaderStops) {
    struct {
        const char* text;
        std::size_t entries;
    } read[] = {
        {"\"k\" = \"v\";\n\"k2\" = \"v2\";<real>", 2},
        {"\"k\" = \"v\"; = \"", 1},
        {"\"k\" = \"v\";\xEF\xBB\xBF\"k2\" = \"v2\";", 1},
        {"\"k\" = \"v\"; \"never closed", 1},
        {"\"k\" = \"v\"; !!! junk", 1},
        {"{ k = v; \"}", 1},     // the unclosed key gives up just after its quote
        {"{ k = ( \"); }", 1},   // so does an unclosed item
        {"{ k = ( <0); }", 1},    // a data item gives up at its odd digit
        {"{ k = ( {a=b;); }", 1}, // a dictionary item where its '}' should be
    };
    for (const auto& r : read) {
        auto d = plist::dictionaryOf(r.text);
        ASSERT_TRUE(d) << r.text;
        EXPECT_EQ(d->size(), r.entries) << r.text;
    }
    EXPECT_EQ(dict("{ k = ( \"); }")->find("k")->items().size(), 0u);
    // Still refused: a key with no '=' or ';', junk after braces, an item
    // that gives up anywhere but before the array's end.
    for (const char* text : {"\"k\" = \"v\"; junk here", "{ k = v; } junk", "{ k = ( <0g); }", "{ k = ( \"a, b); }"})
        EXPECT_FALSE(plist::dictionaryOf(text)) << text;
}

// The keys an item that gives up had made are taken away again; every key
// made before it must still be found, however the key table grew between:
// a key found anew would be a second entry, and the first value would win.
TEST(OpenStep, KeysMadeBeforeAnItemThatGivesUpAreStillFound) {
    // The hash is seeded anew for each read: many reads, many layouts.
    for (int round = 0; round < 200; ++round) {
        int before = 20 + round % 9 * 30;
        std::string text = "{ ";
        for (int k = 0; k < before; ++k) text += "o" + std::to_string(k) + " = first; ";
        text += "arr = ( { ";
        for (int k = 0; k < 3 * before; ++k) text += "n" + std::to_string(k) + " = 0; ";
        text += "); ";
        for (int k = 0; k < before; ++k) text += "o" + std::to_string(k) + " = last; ";
        auto d = dict(text + "}");
        ASSERT_EQ(d->size(), static_cast<std::size_t>(before + 1)) << before;
        for (int k = 0; k < before; ++k)
            EXPECT_EQ(d->find("o" + std::to_string(k))->text(), "last") << before << " " << k;
    }
}

TEST(OpenStep, RefusesMalformedText) {
    const char* refused[] = {
        "{ a = b }", "{ a = b;", "{ a b; }", "{ (a) = b; }", "{ a = ; }", "{ a = (b c); }", "{ a = (,); }",
        "{ a = <0f b>; }", "{ a = <0g>; }", "{ a = <0f; }", "{ a = \"open; }", "{ a = b; } junk", "( a )",
        "{ a = b; }}", "{ a = #; }", "{ a = \"\xC3\"; }",
    };
    for (const char* text : refused) EXPECT_FALSE(plist::dictionaryOf(text)) << text;
}

TEST(OpenStep, NestingStopsAt512) {
    auto nested = [](int depth) {
        return "{ k = " + std::string(static_cast<std::size_t>(depth), '(') + "x" +
               std::string(static_cast<std::size_t>(depth), ')') + "; }";
    };
    EXPECT_TRUE(plist::dictionaryOf(nested(511)));
    EXPECT_FALSE(plist::dictionaryOf(nested(512)));
    EXPECT_FALSE(plist::dictionaryOf(nested(100000)));
}

TEST(OpenStep, TriedAfterBinaryAndXml) {
    // Starts like a binary file and like XML, reads as neither, then as text.
    EXPECT_TRUE(plist::dictionaryOf("bplist00 = x;"));
    EXPECT_TRUE(plist::dictionaryOf("<0f> = x;") == nullptr);
    // UTF-16 text with a byte-order mark.
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("{ k = v; }")) utf16 += std::string(1, c) + '\0';
    EXPECT_EQ(stringAt(utf16), "v");
    // An XML file whose declared encoding is unknown goes no further, nor
    // does one that declares a character set and fails as XML: it is never
    // taken for text that holds nothing.
    EXPECT_FALSE(plist::dictionaryOf("<?xml version=\"1.0\" encoding=\"bogus\"?>"));
    EXPECT_FALSE(plist::dictionaryOf("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><dict><key>k</key></dict>"));
    EXPECT_FALSE(plist::dictionaryOf("<?xml version=\"1.0\" encoding=\"windows-1258\"?>"));
}

}  // namespace
