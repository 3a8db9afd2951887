// Loading a file and replacing one atomically.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "Platform.h"
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

TEST(LoadDictionary, OnlyRegularFilesAreRead) {
    TempDir dir;
    const std::string plist = "<dict><key>k</key><string>v</string></dict>";
    writeFile(dir / "f", plist);
    ASSERT_TRUE(platform::loadDictionary(dir / "f"));
    ASSERT_EQ(::symlink("f", (dir / "link").c_str()), 0);
    EXPECT_TRUE(platform::loadDictionary(dir / "link"));

    EXPECT_FALSE(platform::loadDictionary(dir / "absent"));
    EXPECT_FALSE(platform::loadDictionary(dir.path()));
    EXPECT_FALSE(platform::loadDictionary("/dev/null"));
    writeFile(dir / "empty", "");
    EXPECT_FALSE(platform::loadDictionary(dir / "empty"));
    writeFile(dir / "array", "<array/>");
    EXPECT_FALSE(platform::loadDictionary(dir / "array"));

    // A FIFO with no writer would block an ordinary open.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::loadDictionary(dir / "fifo"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(WriteDictionary, RefusedValueLeavesTheFileAlone) {
    TempDir dir;
    writeFile(dir / "f", "old");
    plist::Dictionary d;
    d.set("v", plist::Value());  // null cannot be written
    EXPECT_FALSE(platform::writeDictionary(d, platform::fileUrl(dir / "f")));
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
