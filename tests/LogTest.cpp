// The log line on standard error, and a log that never fails the tool.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fcntl.h>
#include <regex>

#include "Platform.h"
#include "TestFiles.h"

namespace {

// Runs `body` with standard error sent to `fd`, then puts it back.
template <typename Body>
void withStderr(int fd, Body body) {
    int saved = ::dup(STDERR_FILENO);
    ::dup2(fd, STDERR_FILENO);
    body();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
}

std::string logged(const std::string& message) {
    TempDir dir;
    std::string path = dir / "stderr";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    withStderr(fd, [&] { platform::log(message); });
    ::close(fd);
    return readFile(path);
}

TEST(Log, OneLineWithTimePidAndThread) {
    std::string line = logged("Given Param true");
    std::regex format(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} platform_tests\[(\d+):(\d+)\] Given Param true\n)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, format)) << line;
    EXPECT_EQ(m[1].str(), std::to_string(::getpid()));
    EXPECT_EQ(m[2].str(), std::to_string(platform::threadId()));
}

TEST(Log, MessageIsDataNotAFormat) {
    std::string line = logged("100% %s %n %d");
    EXPECT_EQ(line.substr(line.find("] ") + 2), "100% %s %n %d\n");
    line = logged("ends in a newline\n");
    EXPECT_EQ(line.substr(line.find("] ") + 2), "ends in a newline\n");
    line = logged("");
    EXPECT_EQ(line.substr(line.size() - 3), "] \n");
}

TEST(Log, ControlCharactersAreWrittenVisiblySoNoLineCanBeForged) {
    std::string line = logged("no\n2026-12-09 01:00:00.000 Tolvane[1:1] Write to file was Successful");
    EXPECT_EQ(line.substr(line.find("] ") + 2),
              "no\\n2026-12-09 01:00:00.000 Tolvane[1:1] Write to file was Successful\n");
    line = logged("a\rb\tc\x1b[2Jd\x7f\x01 \xc2\x9b \xc3\xa9 \\ %@\n");
    EXPECT_EQ(line.substr(line.find("] ") + 2), "a\\rb\\tc\\x1b[2Jd\\x7f\\x01 \\u009b \xc3\xa9 \\ %@\n");
    line = logged(std::string("nul\0inside", 10));
    EXPECT_EQ(line.substr(line.find("] ") + 2), "nul\\x00inside\n");
}

TEST(Log, NeverFailsOnAClosedOrBrokenStandardError) {
    int saved = ::dup(STDERR_FILENO);
    ::close(STDERR_FILENO);
    platform::log("nowhere to go");
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);  // the reader has gone: a write would raise SIGPIPE
    withStderr(fds[1], [] { platform::log("reader gone"); });
    ::close(fds[1]);
    SUCCEED() << "still running";
}

}  // namespace
