// A binary file loaded with its bytes kept (the tool's own load) gives the
// same dictionary, the same verdicts and the same XML, byte for byte, as one
// built into values.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "Bplist.h"
#include "Platform.h"
#include "PropertyList.h"
#include "TestFiles.h"

namespace {

using plist::Dictionary;
using plist::Type;
using plist::Value;
using Edit = std::function<void(Dictionary&)>;

struct Outcome {
    bool loaded = false;
    bool written = false;
    std::string text;
};

Outcome outcome(std::shared_ptr<Dictionary> dict, const Edit& edit) {
    Outcome o;
    if (!dict) return o;
    o.loaded = true;
    if (edit) edit(*dict);
    o.written = plist::writeXml(*dict, o.text);
    return o;
}

// `written`, when given, says whether the text could be written.
void expectSame(const std::string& bytes, const Edit& edit = nullptr, bool* written = nullptr) {
    Outcome built = outcome(plist::readDictionary(bytes), edit);
    Outcome kept = outcome(plist::readDictionaryKeepingBytes(bytes), edit);
    if (written) *written = built.written;
    ASSERT_EQ(kept.loaded, built.loaded);
    ASSERT_EQ(kept.written, built.written);
    ASSERT_EQ(kept.text, built.text);
}

const Edit kSetFlag = [](Dictionary& d) { d.set("ApplicationRunningPrompt", Value::boolean(true)); };

// Random object graphs made at the level of the file: shared objects,
// equal keys in one dictionary (ASCII and UTF-16 forms of one text among
// them), keys that are no strings, nulls, sets, Latin-1 bytes, lone
// surrogates and dates out of range, each now and then.
class Graph {
public:
    explicit Graph(unsigned seed) : rng_(seed) {}

    std::string file() {
        std::vector<Bplist::Ref> pool;
        for (int i = 0; i < 12; ++i) pool.push_back(leaf());
        for (int i = 0, n = 2 + pick(40); i < n; ++i) {
            if (pick(3) == 0) pool.push_back(leaf());
            std::vector<Bplist::Ref> items;
            for (int k = pick(6); k > 0; --k) items.push_back(pool[pick(pool.size())]);
            if (pick(2) == 0) {
                pool.push_back(pick(40) == 0 ? b_.set(items) : b_.array(items));
            } else {
                std::vector<Bplist::Ref> keys;
                for (std::size_t k = 0; k < items.size(); ++k) keys.push_back(key());
                pool.push_back(b_.dict(keys, items));
            }
        }
        std::vector<Bplist::Ref> keys, values;
        for (int k = 1 + pick(8); k > 0; --k) {
            keys.push_back(pick(4) == 0 ? b_.ascii("ApplicationRunningPrompt") : key());
            values.push_back(pool[pool.size() - 1 - pick(std::min<std::size_t>(pool.size(), 6))]);
        }
        return b_.build(b_.dict(keys, values));
    }

private:
    int pick(std::size_t n) { return static_cast<int>(rng_() % n); }

    Bplist::Ref key() {
        static const char* const names[] = {"a", "b", "Patches", "caf\xc3\xa9", "z"};
        switch (pick(30)) {
        case 0: return b_.integer(7);
        case 1: return b_.utf16(u"caf\u00e9");
        case 2: return b_.raw("\x54" "caf\xe9");  // Latin-1 bytes in an ASCII string
        case 3: return b_.utf16(u"\U0001F600x");
        case 4: return b_.utf16(u"\uFF61");
        default: return b_.ascii(names[pick(5)] + std::to_string(pick(4)));
        }
    }

    Bplist::Ref leaf() {
        switch (pick(22)) {
        case 0: return b_.null();
        case 1: return b_.date(1e17);
        case 2: {
            std::u16string lone = u"x";
            lone += static_cast<char16_t>(0xD800);
            return b_.utf16(lone);
        }
        case 3: return b_.uid(static_cast<std::uint32_t>(rng_()));
        case 4: return b_.data(std::string(static_cast<std::size_t>(pick(120)), 'd'));
        case 5: return b_.real(-0.0);
        case 6: return b_.real32(1.5f);
        case 7: return b_.integer16(0, rng_());
        case 8: return b_.raw("\x53" "\xe9t\xe9");
        case 9: return b_.ascii(std::string(70 + pick(10), 'L'));  // long: counted once when shared
        case 10: return b_.utf16(u"<&>\r\u00e9\U0001F600");
        case 11: return b_.date(static_cast<double>(static_cast<std::int64_t>(rng_() % 2000000000)));
        case 12: return b_.boolean(pick(2) == 1);
        default: return b_.integer(static_cast<std::int64_t>(rng_()) >> pick(64));
        }
    }

    std::mt19937_64 rng_;
    Bplist b_;
};

TEST(KeptBytes, RandomGraphsGiveTheSameVerdictsAndText) {
    int written = 0;
    for (unsigned seed = 1; seed <= 3000; ++seed) {
        SCOPED_TRACE(seed);
        std::string file = Graph(seed).file();
        bool wrote = false;
        ASSERT_NO_FATAL_FAILURE(expectSame(file, nullptr, &wrote));
        written += wrote;
        ASSERT_NO_FATAL_FAILURE(expectSame(file, kSetFlag));
        // Replacing a container the root held takes it out of every count.
        ASSERT_NO_FATAL_FAILURE(expectSame(file, [](Dictionary& d) {
            if (!d.entries.empty()) d.entries.front().second = Value::boolean(false);
        }));
    }
    // Enough of them must get through the checks for the text to be compared.
    EXPECT_GT(written, 600);
}

TEST(KeptBytes, EveryCollectedAndHostileFileGivesTheSameOutcome) {
    int files = 0;
    std::function<void(const std::string&)> walk = [&](const std::string& path) {
        for (const std::string& name : listFolder(path)) {
            if (!listFolder(path + "/" + name).empty()) {
                walk(path + "/" + name);
                continue;
            }
            SCOPED_TRACE(path + "/" + name);
            ASSERT_NO_FATAL_FAILURE(expectSame(readFile(path + "/" + name), kSetFlag));
            ++files;
        }
    };
    walk(testData("corpus"));
    walk(testData("hostile"));
    EXPECT_GT(files, 300);
}

// A nest of arrays `levels` deep, ending in `inner`.
Bplist::Ref nest(Bplist& b, Bplist::Ref inner, int levels) {
    for (int i = 0; i < levels; ++i) inner = b.array({inner});
    return inner;
}

TEST(KeptBytes, DepthIsTheLongestPathNotTheFirstOneRead) {
    // The reader meets the deep part first on a short path and only
    // remembers it on the long one; the text would still be 601 levels deep.
    Bplist b;
    Bplist::Ref deep = nest(b, b.integer(1), 300);
    Bplist::Ref root = b.dict({b.ascii("a"), b.ascii("b")}, {b.array({deep}), nest(b, deep, 300)});
    std::string file = b.build(root);
    ASSERT_TRUE(plist::readDictionaryKeepingBytes(file));
    expectSame(file);
    std::string text;
    EXPECT_FALSE(plist::writeXml(*plist::readDictionaryKeepingBytes(file), text));
    // Without the long path it can be written.
    expectSame(file, [](Dictionary& d) { d.set("b", Value::boolean(true)); });
}

TEST(KeptBytes, SharedContainersAreCountedAcrossTheRootsEntries) {
    // 2^10 = 1024 paths to the innermost array from each of two entries.
    for (int entries : {1, 2}) {
        Bplist b;
        Bplist::Ref a = b.array({b.integer(1)});
        for (int i = 0; i < 10; ++i) a = b.array({a, a});
        std::vector<Bplist::Ref> keys{b.ascii("x"), b.ascii("y")}, values{a, a};
        keys.resize(static_cast<std::size_t>(entries));
        values.resize(static_cast<std::size_t>(entries));
        std::string file = b.build(b.dict(keys, values));
        expectSame(file);
        std::string text;
        EXPECT_EQ(plist::writeXml(*plist::readDictionaryKeepingBytes(file), text), entries == 1);
    }
}

TEST(KeptBytes, DeferredContainersReadAndChangeLikeBuiltOnes) {
    Bplist b;
    Bplist::Ref shared = b.dict({b.ascii("k")}, {b.utf16(u"\u00e9t\u00e9")});
    Bplist::Ref list = b.array({shared, shared, b.integer(3)});
    std::string file = b.build(b.dict({b.ascii("list"), b.ascii("one"), b.ascii("n")}, {list, shared, b.integer(5)}));
    auto built = plist::readDictionary(file);
    auto kept = plist::readDictionaryKeepingBytes(file);
    ASSERT_TRUE(kept->find("list")->deferred());
    EXPECT_EQ(*kept, *built);
    // A look inside reads the whole document once; what is shared stays shared.
    EXPECT_EQ(kept->find("list")->items()[0].node(), kept->find("one")->node());

    auto change = [](Dictionary& d) {
        Value list = *d.find("list");
        list.items().push_back(Value::string("added"));
        Value first = list.items()[0];
        first.dict().set("k", Value::integer(-1));
    };
    expectSame(file, change);
    // Moved below the root, or held twice, a deferred container is written
    // like any other.
    expectSame(file, [](Dictionary& d) {
        auto holder = std::make_shared<plist::Array>(plist::Array{*d.find("list"), *d.find("one")});
        d.set("moved", Value::array(holder));
    });
    // Containers of two documents in one root.
    std::string other = Bplist::of(Value::dictionary(built));
    Outcome mixed = outcome(plist::readDictionaryKeepingBytes(file), [&](Dictionary& d) {
        d.set("other", *plist::readDictionaryKeepingBytes(other)->find("list"));
    });
    Outcome expected = outcome(plist::readDictionary(file), [&](Dictionary& d) {
        d.set("other", *plist::readDictionary(other)->find("list"));
    });
    EXPECT_TRUE(mixed.written);
    EXPECT_EQ(mixed.text, expected.text);
}

TEST(KeptBytes, AWideRootIsLoadedAndWrittenInOnePass) {
    // Each container and long string held by the root is looked up by hash,
    // not searched for among the others (a search would take minutes here).
    Bplist b;
    std::vector<Bplist::Ref> keys, values;
    for (int i = 0; i < 100000; ++i) {
        keys.push_back(b.ascii("k" + std::to_string(i)));
        values.push_back(i % 2 ? b.array({}) : b.ascii(std::string(64, 'x') + std::to_string(i)));
    }
    std::string file = b.build(b.dict(keys, values));
    auto dict = plist::readDictionaryKeepingBytes(file);
    ASSERT_TRUE(dict);
    EXPECT_EQ(dict->size(), 100000u);
    std::string text;
    EXPECT_TRUE(plist::writeXml(*dict, text));
    EXPECT_EQ(*dict, *plist::readDictionary(text));
}

// The file write checks a document's containers while it writes: when the
// check fails, even late, the file is as it was and no temp file is left.
struct FileOutcome {
    bool written;
    std::string contents;
    std::vector<std::string> folder;
};

FileOutcome writeThroughFile(const std::string& bytes) {
    TempDir dir;
    std::string path = dir / "patch.plist";
    writeFile(path, "old");
    auto dict = plist::readDictionaryKeepingBytes(bytes);
    kSetFlag(*dict);
    std::string error;
    bool written = platform::writeDictionary(*dict, platform::fileUrl(path), &error);
    EXPECT_EQ(written, error.empty()) << error;
    return {written, readFile(path), listFolder(dir.path())};
}

TEST(KeptBytes, FileWritesMatchTheTextOrLeaveTheFileAlone) {
    for (unsigned seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE(seed);
        std::string file = Graph(seed).file();
        auto built = plist::readDictionary(file);
        if (!built) continue;
        kSetFlag(*built);
        std::string text;
        bool expected = plist::writeXml(*built, text);
        FileOutcome o = writeThroughFile(file);
        ASSERT_EQ(o.written, expected);
        EXPECT_EQ(o.contents, expected ? text : "old");
        EXPECT_EQ(o.folder, std::vector<std::string>{"patch.plist"});
    }
}

TEST(KeptBytes, ACheckThatFailsLateStopsTheWriteAndKeepsTheFile) {
    // Megabytes of good text first, then what cannot be written, in each of
    // the ways the check refuses it after the writing has begun.
    auto late = [](auto bad) {
        Bplist b;
        std::vector<Bplist::Ref> many;
        for (int i = 0; i < 20000; ++i) many.push_back(b.ascii("item " + std::to_string(i) + std::string(100, 'x')));
        Bplist::Ref tail = bad(b);
        return b.build(b.dict({b.ascii("a"), b.ascii("z")}, {b.array(many), b.array({tail})}));
    };
    std::vector<std::string> files = {
        late([](Bplist& b) { return b.null(); }),
        late([](Bplist& b) { return b.date(1e300); }),
        late([](Bplist& b) {
            Bplist::Ref deep = nest(b, b.integer(1), 300);  // read on the short path first
            return b.array({deep, nest(b, deep, 300)});
        }),
        late([](Bplist& b) { return b.dict({b.integer(1)}, {b.integer(2)}); }),
        late([](Bplist& b) {
            // Doubled 60 times: the text would never end, and must not be tried.
            Bplist::Ref a = b.array({b.integer(1)});
            for (int i = 0; i < 60; ++i) a = b.array({a, a});
            return a;
        }),
    };
    for (const std::string& file : files) {
        SCOPED_TRACE(&file - files.data());
        ASSERT_TRUE(plist::readDictionaryKeepingBytes(file));
        FileOutcome o = writeThroughFile(file);
        EXPECT_FALSE(o.written);
        EXPECT_EQ(o.contents, "old");
        EXPECT_EQ(o.folder, std::vector<std::string>{"patch.plist"});
    }
}

}  // namespace
