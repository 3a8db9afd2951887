// Loading a file and replacing one atomically.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "FaultInjection.h"
#include "Platform.h"
#include "Values.h"
#include "TestFiles.h"

namespace {

mode_t modeOf(const std::string& path) {
    struct stat st;
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(ReplaceFile, NewFileGetsTheUmaskDefault) {
    TempDir dir;
    mode_t old = ::umask(022);
    EXPECT_TRUE(platform::replaceFile(dir / "f", "new"));
    ::umask(077);
    EXPECT_TRUE(platform::replaceFile(dir / "g", "new"));
    ::umask(old);
    EXPECT_EQ(readFile(dir / "f"), "new");
    EXPECT_EQ(modeOf(dir / "f"), 0644u);
    EXPECT_EQ(modeOf(dir / "g"), 0600u);
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"f", "g"}));
}

TEST(ReplaceFile, KeepsModeOwnerAndGroup) {
    TempDir dir;
    writeFile(dir / "f", "old");
    ASSERT_EQ(::chmod((dir / "f").c_str(), 0640), 0);
    bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown((dir / "f").c_str(), 1234, 5678), 0);
    }
    EXPECT_TRUE(platform::replaceFile(dir / "f", "new"));
    EXPECT_EQ(readFile(dir / "f"), "new");
    EXPECT_EQ(modeOf(dir / "f"), 0640u);
    if (root) {
        struct stat st;
        ASSERT_EQ(::stat((dir / "f").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 5678u);
    }
    EXPECT_EQ(listFolder(dir.path()), std::vector<std::string>{"f"});
}

TEST(ReplaceFile, SymlinkIsReplacedWithTheTargetsMode) {
    TempDir dir;
    writeFile(dir / "target", "old");
    ASSERT_EQ(::chmod((dir / "target").c_str(), 0604), 0);
    ASSERT_EQ(::symlink("target", (dir / "link").c_str()), 0);
    EXPECT_TRUE(platform::replaceFile(dir / "link", "new"));
    struct stat st;
    ASSERT_EQ(::lstat((dir / "link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(readFile(dir / "link"), "new");
    EXPECT_EQ(readFile(dir / "target"), "old");

    // A dangling link: the new-file default.
    ASSERT_EQ(::symlink("missing", (dir / "dangling").c_str()), 0);
    mode_t old = ::umask(022);
    EXPECT_TRUE(platform::replaceFile(dir / "dangling", "new"));
    ::umask(old);
    EXPECT_EQ(modeOf(dir / "dangling"), 0644u);
}

TEST(ReplaceFile, FailuresLeaveEverythingAsItWas) {
    TempDir dir;
    std::string error;
    EXPECT_FALSE(platform::replaceFile(dir / "missing/f", "new", &error));
    EXPECT_FALSE(error.empty());

    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
    writeFile(dir / "folder/inside", "kept");
    EXPECT_FALSE(platform::replaceFile(dir / "folder", "new"));
    EXPECT_EQ(readFile(dir / "folder/inside"), "kept");
    EXPECT_EQ(listFolder(dir.path()), std::vector<std::string>{"folder"});
}

// A load that finds a file or nothing, and never one it could not read.
std::unique_ptr<plist::Document> load(const std::string& path) {
    bool unreadable = true;
    auto dict = platform::loadDictionary(path, unreadable);
    EXPECT_FALSE(unreadable) << path;
    return dict;
}

TEST(LoadDictionary, OnlyRegularFilesAreRead) {
    TempDir dir;
    const std::string plist = "<dict><key>k</key><string>v</string></dict>";
    writeFile(dir / "f", plist);
    ASSERT_TRUE(load(dir / "f"));
    ASSERT_EQ(::symlink("f", (dir / "link").c_str()), 0);
    EXPECT_TRUE(load(dir / "link"));

    EXPECT_FALSE(load(dir / "absent"));
    EXPECT_FALSE(load(dir / "f/below-a-file"));
    EXPECT_FALSE(load(dir.path()));
    EXPECT_FALSE(load("/dev/null"));
    writeFile(dir / "empty", "");
    EXPECT_FALSE(load(dir / "empty"));
    writeFile(dir / "array", "<array/>");
    EXPECT_FALSE(load(dir / "array"));

    // A FIFO with no writer would block an ordinary open.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(load(dir / "fifo"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(LoadDictionary, AFileThatCannotBeReadIsNeverTakenForNoFile) {
    using platform::faults::Call;
    TempDir dir;
    writeFile(dir / "f", "<dict><key>k</key><string>v</string></dict>");
    const std::pair<Call, int> faults[] = {{Call::OpenFile, EIO},    {Call::OpenFile, EPERM},
                                           {Call::OpenFile, EACCES}, {Call::OpenFile, ENOMEM},
                                           {Call::ReadFile, EIO},    {Call::ReadFile, ENOMEM}};
    for (const auto& [call, error] : faults) {
        SCOPED_TRACE(std::strerror(error));
        platform::faults::inject(call, error);
        bool unreadable = false;
        EXPECT_FALSE(platform::loadDictionary(dir / "f", unreadable));
        EXPECT_TRUE(unreadable);
        platform::faults::clear();
    }
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    GTEST_SKIP() << "a sanitizer's allocator ends the process on an allocation it cannot make";
#endif
#endif
    // Far more than there is memory for: a sparse file of a terabyte.
    int fd = ::open((dir / "huge").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{1} << 40), 0);
    ::close(fd);
    bool unreadable = false;
    EXPECT_FALSE(platform::loadDictionary(dir / "huge", unreadable));
    EXPECT_TRUE(unreadable);
}

TEST(LoadDictionary, ALargeFileIsReadWholeAndAFailingHalfIsNeverTakenForItsEnd) {
    using platform::faults::Call;
    TempDir dir;
    std::string text = "<plist><dict><key>Lines</key><array>";
    for (int i = 0; text.size() < (9u << 20); ++i) text += "<string>line " + std::to_string(i) + "</string>";
    text += "</array><key>Last</key><true/></dict></plist>";
    writeFile(dir / "utf8", text);
    // The same text as UTF-16 (little-endian, after a byte-order mark),
    // with U+1F600 in place of a digit, moved by spaces to where its pair
    // lies across the two halves: its high surrogate ends the first, its
    // low one starts the second.
    std::size_t size = 2 * (1 + text.size() + 1), half = size / 2 & ~std::size_t{4095}, at = half / 2 - 2;
    std::size_t digit = text.find_last_of("0123456789", at);
    std::string moved = text;
    moved.insert(std::string("<plist>").size(), at - digit, ' ');
    moved.replace(at, 1, "\xF0\x9F\x98\x80");
    std::string units = "\xFF\xFE";
    for (std::size_t k = 0; k < moved.size(); ++k) {
        if (k == at) units.append("\x3D\xD8\x00\xDE", 4), k += 3;
        else units += moved[k], units += '\0';
    }
    ASSERT_EQ(units.size() / 2 & ~std::size_t{4095}, half) << "the pair lies elsewhere";
    writeFile(dir / "utf16", units);
    for (const auto& [name, expected] : {std::pair{"utf8", &text}, std::pair{"utf16", &moved}}) {
        SCOPED_TRACE(name);
        auto whole = load(dir / name);
        ASSERT_TRUE(whole);
        EXPECT_EQ(plist::valueOf(*whole), plist::valueOf(plist::readXml(*expected)));
        // The reads after the first four bytes: the second half's, then the first's.
        for (int nth : {2, 3}) {
            SCOPED_TRACE(nth);
            platform::faults::inject(Call::ReadFile, EIO, nth);
            bool unreadable = false;
            EXPECT_FALSE(platform::loadDictionary(dir / name, unreadable));
            EXPECT_TRUE(unreadable);
            platform::faults::clear();
        }
    }
}

TEST(WriteDictionary, RefusedValueLeavesTheFileAlone) {
    TempDir dir;
    writeFile(dir / "f", "old");
    plist::Dictionary d;
    d.set("v", plist::Value());  // null cannot be written
    EXPECT_FALSE(platform::writeDictionary(*plist::documentOf(d), platform::fileUrl(dir / "f")));
    EXPECT_EQ(readFile(dir / "f"), "old");
    EXPECT_EQ(listFolder(dir.path()), std::vector<std::string>{"f"});
}

TEST(Exists, FilesFoldersAndLiveLinksOnly) {
    TempDir dir;
    writeFile(dir / "f", "");
    ASSERT_EQ(::symlink("f", (dir / "live").c_str()), 0);
    ASSERT_EQ(::symlink("missing", (dir / "dead").c_str()), 0);
    EXPECT_TRUE(platform::exists(dir / "f"));
    EXPECT_TRUE(platform::exists(dir.path()));
    EXPECT_TRUE(platform::exists(dir / "live"));
    EXPECT_FALSE(platform::exists(dir / "dead"));
    EXPECT_FALSE(platform::exists(dir / "missing"));
    ::unlink((dir / "f").c_str());
    EXPECT_FALSE(platform::exists(dir / "live"));  // asked afresh
}

}  // namespace
