// Every system call of the write path failing in turn: the write reports
// failure, the destination is byte for byte as it was, no temp file stays.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <utime.h>

#include "FaultInjection.h"
#include "Platform.h"
#include "PropertyList.h"
#include "Values.h"
#include "TestFiles.h"

namespace {

using platform::faults::Call;

class WriteFaults : public ::testing::Test {
protected:
    void TearDown() override { platform::faults::clear(); }
};

const Call kCalls[] = {Call::OpenTemp, Call::Write, Call::Chown, Call::Chmod,
                       Call::FullSync, Call::Close, Call::Rename, Call::SyncFolder};

TEST_F(WriteFaults, EachFailingCallLeavesTheOldFile) {
    for (Call call : kCalls) {
        SCOPED_TRACE(static_cast<int>(call));
        TempDir dir;
        writeFile(dir / "f", "old contents");
        if (call == Call::Chown && ::geteuid() == 0) {
            ASSERT_EQ(::chown((dir / "f").c_str(), 1234, 1234), 0);
        }
        platform::faults::inject(call, EIO);
        std::string error;
        EXPECT_FALSE(platform::replaceFile(dir / "f", "new contents", &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(readFile(dir / "f"), "old contents");
        EXPECT_EQ(listFolder(dir.path()), std::vector<std::string>{"f"});
        platform::faults::clear();
    }
}

TEST_F(WriteFaults, EachFailingCallLeavesNoNewFile) {
    for (Call call : kCalls) {
        if (call == Call::Chown) continue;  // a new file has no owner to keep
        SCOPED_TRACE(static_cast<int>(call));
        TempDir dir;
        platform::faults::inject(call, ENOSPC);
        EXPECT_FALSE(platform::replaceFile(dir / "f", "new contents"));
        EXPECT_TRUE(listFolder(dir.path()).empty());
        platform::faults::clear();
    }
}

// After the rename, a folder that cannot be synced undoes it where it can;
// where it cannot, the new file is in place and the write says so.
TEST_F(WriteFaults, AFailedFolderSyncIsReportedAsWhatThePathHolds) {
    struct Case {
        const char* what;
        Call also;  // fails too, or Count for nothing more
        int nth;
        bool written;
    } cases[] = {{"old file put back", Call::Count, 1, false},
                 {"no second name for the old file", Call::Link, 1, true},
                 {"putting it back fails", Call::Rename, 2, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        writeFile(dir / "f", "old contents");
        platform::faults::inject(Call::SyncFolder, EIO);
        if (c.also != Call::Count) platform::faults::inject(c.also, EIO, c.nth);
        EXPECT_EQ(platform::replaceFile(dir / "f", "new contents"), c.written);
        EXPECT_EQ(readFile(dir / "f"), c.written ? "new contents" : "old contents");
        EXPECT_EQ(listFolder(dir.path()), std::vector<std::string>{"f"});
        platform::faults::clear();
    }
}

// Another process changes the file while the tool writes it: the tool
// starts again from the file as it now is, and the result holds both
// changes.
std::string plistOf(const std::string& a) { return "<dict><key>A</key><string>" + a + "</string></dict>"; }

std::unique_ptr<plist::Document> loadAndSet(const std::string& path) {
    bool unreadable = false;
    auto dict = platform::loadDictionary(path, unreadable);
    EXPECT_FALSE(unreadable);
    if (!dict) dict = platform::emptyDictionary();
    dict->set("ApplicationRunningPrompt", plist::Scalar::boolean(true));
    return dict;
}

TEST_F(WriteFaults, AChangeMadeWhileTheFileIsWrittenIsKept) {
    struct Case {
        const char* what;
        bool before;                             // a file is there when the tool reads
        std::function<void(const std::string&)> change;
        const char* a;                           // the entry the result holds, if any
    };
    const Case cases[] = {
        {"replaced", true,
         [](const std::string& path) {
             writeFile(path + ".new", plistOf("2") + "<!-- longer -->");
             ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
         },
         "2"},
        {"rewritten in place, same size", true,
         [](const std::string& path) {
             // Past the clock tick of the read, so that the time stamps can differ.
             ::usleep(20000);
             std::FILE* f = std::fopen(path.c_str(), "r+");
             ASSERT_NE(f, nullptr);
             std::fputs(plistOf("3").c_str(), f);
             std::fclose(f);
         },
         "3"},
        {"created", false, [](const std::string& path) { writeFile(path, plistOf("4")); }, "4"},
        {"removed", true, [](const std::string& path) { ASSERT_EQ(::unlink(path.c_str()), 0); }, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string path = dir / "f";
        if (c.before) writeFile(path, plistOf("1"));
        auto dict = loadAndSet(path);
        int changes = 0;
        platform::faults::afterTempSynced([&] {
            if (changes++ == 0) c.change(path);
        });
        std::string error;
        EXPECT_TRUE(platform::writeDictionary(*dict, platform::fileUrl(path), &error)) << error;
        EXPECT_EQ(changes, 2);  // the try the change spoiled, and the one after it
        auto result = plist::dictionaryOf(readFile(path));
        ASSERT_TRUE(result);
        EXPECT_EQ(*result->find("ApplicationRunningPrompt"), plist::Value::boolean(true));
        const plist::Value* a = result->find("A");
        if (c.a) {
            ASSERT_NE(a, nullptr);
            EXPECT_EQ(*a, plist::Value::string(c.a));
        } else {
            EXPECT_EQ(a, nullptr);
        }
        EXPECT_EQ(listFolder(dir.path()), std::vector<std::string>{"f"});
        platform::faults::clear();
    }
}

TEST_F(WriteFaults, AFileThatKeepsChangingIsLeftAsTheOtherWriterLeftIt) {
    TempDir dir;
    std::string path = dir / "f";
    writeFile(path, plistOf("0"));
    auto dict = loadAndSet(path);
    int changes = 0;
    // Longer each time, so that each change shows whatever the clock's tick.
    platform::faults::afterTempSynced([&] { writeFile(path, plistOf(std::string(++changes, 'x'))); });
    EXPECT_FALSE(platform::writeDictionary(*dict, platform::fileUrl(path)));
    EXPECT_GT(changes, 1);
    EXPECT_EQ(readFile(path), plistOf(std::string(changes, 'x')));
    EXPECT_EQ(listFolder(dir.path()), std::vector<std::string>{"f"});
}

TEST_F(WriteFaults, InterruptedAndShortWritesAreCompleted) {
    TempDir dir;
    std::string contents(10000, 'x');
    contents += "end";
    platform::faults::inject(Call::Write, EINTR, 2);
    platform::faults::limitWrites(7);
    EXPECT_TRUE(platform::replaceFile(dir / "f", contents));
    EXPECT_EQ(readFile(dir / "f"), contents);
}

TEST_F(WriteFaults, OwnerThatCannotBeSetIsNoFailure) {
    TempDir dir;
    writeFile(dir / "f", "old");
    platform::faults::inject(Call::Chown, EPERM);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown((dir / "f").c_str(), 1234, 1234), 0);
    }
    EXPECT_TRUE(platform::replaceFile(dir / "f", "new"));
    EXPECT_EQ(readFile(dir / "f"), "new");
}

TEST_F(WriteFaults, StaleTempFilesOfKilledRunsAreRemovedWhenOld) {
    TempDir dir;
    writeFile(dir / "f", "old");
    writeFile(dir / ".f.tolvane-oldstale", "left by a killed run");
    writeFile(dir / ".f.tolvane-freshone", "maybe a run still at work");
    writeFile(dir / ".g.tolvane-oldother", "another file's");
    writeFile(dir / "unrelated", "agent's");
    struct utimbuf longAgo = {::time(nullptr) - 3600, ::time(nullptr) - 3600};
    for (const char* name : {".f.tolvane-oldstale", ".g.tolvane-oldother", "unrelated"})
        ASSERT_EQ(::utime((dir / name).c_str(), &longAgo), 0);
    EXPECT_TRUE(platform::replaceFile(dir / "f", "new"));
    EXPECT_EQ(listFolder(dir.path()),
              (std::vector<std::string>{".f.tolvane-freshone", ".g.tolvane-oldother", "f", "unrelated"}));
}

// Text made while it is written, megabytes of it in pieces of every size:
// past the first megabyte a thread of its own writes it.
std::vector<std::string> pieces() {
    std::vector<std::string> all;
    std::size_t sizes[] = {1, 4096, 262144, 3 << 20, 17, 1 << 20, 99999};
    for (int round = 0; round < 3; ++round)
        for (std::size_t n : sizes) all.push_back(std::string(n, static_cast<char>('a' + all.size() % 26)));
    return all;
}

bool produce(const platform::Sink& sink) {
    for (const std::string& p : pieces())
        if (!sink(p)) return false;
    return true;
}

TEST_F(WriteFaults, MadeTextIsWrittenWholeAndInOrder) {
    TempDir dir;
    std::string expected;
    for (const std::string& p : pieces()) expected += p;
    platform::faults::limitWrites(100000);  // short writes
    platform::faults::inject(Call::Write, EINTR, 40);
    std::string error;
    EXPECT_TRUE(platform::replaceFile(dir / "f", produce, &error)) << error;
    EXPECT_EQ(readFile(dir / "f"), expected);
}

TEST_F(WriteFaults, AWriteFailingAtAnyPointOfMadeTextLeavesTheOldFile) {
    for (int nth : {1, 2, 12, 13, 60, 100, 136}) {  // of some 140 writes
        SCOPED_TRACE(nth);
        TempDir dir;
        writeFile(dir / "f", "old contents");
        platform::faults::limitWrites(100000);
        platform::faults::inject(Call::Write, ENOSPC, nth);
        std::string error;
        EXPECT_FALSE(platform::replaceFile(dir / "f", produce, &error));
        EXPECT_NE(error.find("No space left"), std::string::npos) << error;
        EXPECT_EQ(readFile(dir / "f"), "old contents");
        EXPECT_EQ(listFolder(dir.path()), std::vector<std::string>{"f"});
        platform::faults::clear();
    }
}

TEST_F(WriteFaults, TextThatStopsBeingMadeLeavesTheOldFile) {
    TempDir dir;
    writeFile(dir / "f", "old contents");
    int left = 10;  // ten pieces, some megabytes, then the maker gives up
    EXPECT_FALSE(platform::replaceFile(dir / "f", [&](const platform::Sink& sink) {
        for (const std::string& p : pieces())
            if (--left == 0 || !sink(p)) return false;
        return true;
    }));
    EXPECT_EQ(readFile(dir / "f"), "old contents");
    EXPECT_EQ(listFolder(dir.path()), std::vector<std::string>{"f"});
}

}  // namespace
