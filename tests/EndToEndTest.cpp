// The real binary, run in a private mount namespace where a folder of the
// test's stands in for /Library.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "Bplist.h"
#include "PropertyList.h"
#include "Values.h"
#include "TestFiles.h"

namespace {

using plist::Type;
using plist::Value;

struct Outcome {
    int status = -1;
    std::vector<std::string> messages;  // log lines without their prefix
    std::string stderrText;
};

const std::string kRow1 = "Velmora/Ostrel_Agent";
const std::string kData = "Velmora/Ostrel_Agent/data";
const std::string kFile = "Velmora/Ostrel_Agent/data/tqpatch_data.plist";
const std::string kFallbackFile = "Ostrel_Agent/data/tqpatch_data.plist";

class EndToEnd : public ::testing::Test {
protected:
    TempDir library, scratch;

    std::string at(const std::string& relative) const { return library / relative; }

    void makeFolders(const std::string& relative) {
        std::string path = library.path();
        std::size_t start = 0;
        while (start < relative.size()) {
            std::size_t end = relative.find('/', start);
            if (end == std::string::npos) end = relative.size();
            path += "/" + relative.substr(start, end - start);
            ::mkdir(path.c_str(), 0755);
            start = end + 1;
        }
    }

    void installAgent(const std::string& root) {
        makeFolders(root + "/bin");
        makeFolders(root + "/data");
        writeFile(at(root + "/bin/tqagentservice"), "#!/bin/sh\n");
    }

    // Runs the tool with the given arguments; `setup` and `after` run inside
    // the namespace before and after it (see sandbox.sh).
    Outcome run(const std::vector<std::string>& args, const std::string& setup = "", const std::string& after = "",
                const std::vector<std::string>& wrapper = {}) {
        std::string out = scratch / "stdout", err = scratch / "stderr";
        pid_t pid = ::fork();
        if (pid == 0) {
            if (!setup.empty()) ::setenv("SANDBOX_SETUP", setup.c_str(), 1);
            if (!after.empty()) ::setenv("SANDBOX_AFTER", after.c_str(), 1);
            // A sanitized build's leak check cannot run under a tracer.
            if (!wrapper.empty()) ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
            std::freopen(out.c_str(), "w", stdout);
            std::freopen(err.c_str(), "w", stderr);
            std::vector<std::string> argv = {TOLVANE_SANDBOX, library.path()};
            argv.insert(argv.end(), wrapper.begin(), wrapper.end());
            argv.push_back(TOLVANE_BINARY);
            argv.insert(argv.end(), args.begin(), args.end());
            std::vector<char*> c;
            for (auto& a : argv) c.push_back(&a[0]);
            c.push_back(nullptr);
            ::execv(c[0], c.data());
            ::_exit(126);
        }
        int wstatus = 0;
        ::waitpid(pid, &wstatus, 0);
        Outcome r;
        r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
        r.stderrText = readFile(err);
        static const std::regex line(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) Tolvane\[(\d+):(\d+)\] (.*))");
        std::size_t start = 0;
        while (start < r.stderrText.size()) {
            std::size_t end = r.stderrText.find('\n', start);
            std::string text = r.stderrText.substr(start, end - start);
            std::smatch m;
            if (text.rfind("+++ killed", 0) != 0 && text != "Killed")
                r.messages.push_back(std::regex_match(text, m, line) ? m[4].str() : "unexpected: " + text);
            start = end == std::string::npos ? r.stderrText.size() : end + 1;
        }
        EXPECT_NE(r.status, 125) << "the sandbox could not be made: " << r.stderrText;
        return r;
    }

    std::shared_ptr<plist::Dictionary> fileAt(const std::string& relative) {
        return plist::dictionaryOf(readFile(at(relative)));
    }
};

std::vector<std::string> tempFiles(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& n : listFolder(folder))
        if (n.rfind(".tqpatch_data.plist.tolvane-", 0) == 0) names.push_back(n);
    return names;
}

using Strings = std::vector<std::string>;
const Strings kEnabled = {"Given Param true", "Going to Enable Application Running prompt", "Write to file was Successful"};

std::string agentFile() {
    Bplist b;
    Bplist::Ref top = b.dict(
        {b.ascii("PatchCount"), b.ascii("LastScan"), b.ascii("Patches"), b.ascii("ApplicationRunningPrompt")},
        {b.integer(42), b.date(780000000), b.array({b.utf16(u"Caf\u00e9 \U0001F600"), b.data("\x01\x02")}),
         b.boolean(false)});
    return b.build(top);
}

TEST_F(EndToEnd, NoArgumentTouchesNothing) {
    Outcome r = run({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.messages, Strings{"Arguments are low"});
    EXPECT_TRUE(listFolder(library.path()).empty());
}

TEST_F(EndToEnd, TrueUpdatesABinaryFileAndKeepsEveryOtherEntry) {
    installAgent(kRow1);
    writeFile(at(kFile), agentFile());
    Outcome r = run({"true"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.messages, kEnabled);
    std::string written = readFile(at(kFile));
    EXPECT_EQ(written.substr(0, 5), "<?xml");
    auto before = plist::dictionaryOf(agentFile());
    auto after = plist::dictionaryOf(written);
    ASSERT_TRUE(after);
    before->set("ApplicationRunningPrompt", Value::boolean(true));
    EXPECT_EQ(*after, *before);
    EXPECT_NE(written.find("<key>ApplicationRunningPrompt</key>\n\t<true/>"), std::string::npos);
    EXPECT_EQ(listFolder(at(kData)), Strings{"tqpatch_data.plist"});
}

TEST_F(EndToEnd, AnythingButTrueDisables) {
    installAgent(kRow1);
    for (std::string arg : {"TRUE", "True", "1", "yes", "", "false"}) {
        SCOPED_TRACE(arg);
        writeFile(at(kFile), agentFile());
        Outcome r = run({arg});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.messages, (Strings{"Given Param " + arg, "Going to Disable Application Running prompt",
                                       "Write to file was Successful"}));
        auto d = fileAt(kFile);
        ASSERT_TRUE(d);
        EXPECT_EQ(*d->find("ApplicationRunningPrompt"), Value::boolean(false));
        EXPECT_EQ(*d->find("PatchCount"), Value::integer(42));
    }
}

TEST_F(EndToEnd, OnlyTheFirstArgumentCountsAndIsLoggedVerbatim) {
    installAgent(kRow1);
    Outcome r = run({"true", "false"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.messages, kEnabled);

    r = run({"100% %s %n"});
    EXPECT_EQ(r.status, 0);
    ASSERT_FALSE(r.messages.empty());
    EXPECT_EQ(r.messages[0], "Given Param 100% %s %n");
}

TEST_F(EndToEnd, NoAgentAndNoDataFolderFailsAndCreatesNothing) {
    Outcome r = run({"true"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.messages, (Strings{"Given Param true", "Going to Enable Application Running prompt",
                                   "Write to file was Failed"}));
    EXPECT_TRUE(listFolder(library.path()).empty());
}

TEST_F(EndToEnd, FallbackRootIsUsedWhenNoMarkerExists) {
    makeFolders("Ostrel_Agent/data");
    makeFolders("Velmora/Ostrel_Agent/data");  // a root without its marker is skipped
    Outcome r = run({"true"});
    EXPECT_EQ(r.status, 0);
    auto d = fileAt(kFallbackFile);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size(), 1u);
    EXPECT_TRUE(listFolder(at(kData)).empty());
}

TEST_F(EndToEnd, MarkerRulesPickTheRoot) {
    // Row 2's marker is a folder (counts), row 1's a dangling link (does not).
    makeFolders("Brannoch_Agent/bin/tqagentservice");
    makeFolders("Brannoch_Agent/data");
    installAgent("Seldwyn_Agent");
    makeFolders(kRow1 + "/bin");
    makeFolders(kData);
    ASSERT_EQ(::symlink("/nowhere", at(kRow1 + "/bin/tqagentservice").c_str()), 0);
    Outcome r = run({"true"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fileAt("Brannoch_Agent/data/tqpatch_data.plist"));
    EXPECT_TRUE(listFolder(at("Seldwyn_Agent/data")).empty());
    EXPECT_TRUE(listFolder(at(kData)).empty());
}

TEST_F(EndToEnd, OldValuesOfAnyTypeAreReplacedByABoolean) {
    installAgent(kRow1);
    for (const char* old : {"<string>yes</string>", "<integer>1</integer>", "<dict/>"}) {
        SCOPED_TRACE(old);
        writeFile(at(kFile), std::string("<plist><dict><key>ApplicationRunningPrompt</key>") + old +
                                 "<key>Other</key><string>kept</string></dict></plist>");
        EXPECT_EQ(run({"true"}).status, 0);
        auto d = fileAt(kFile);
        ASSERT_TRUE(d);
        EXPECT_EQ(*d->find("ApplicationRunningPrompt"), Value::boolean(true));
        EXPECT_EQ(*d->find("Other"), Value::string("kept"));
    }
}

TEST_F(EndToEnd, MissingOrUnreadableFileIsWrittenWithOneEntry) {
    installAgent(kRow1);
    EXPECT_EQ(run({"true"}).status, 0);
    auto d = fileAt(kFile);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size(), 1u);

    writeFile(at(kFile), "not a property list");
    EXPECT_EQ(run({"no"}).status, 0);
    d = fileAt(kFile);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size(), 1u);
    EXPECT_EQ(*d->find("ApplicationRunningPrompt"), Value::boolean(false));
}

TEST_F(EndToEnd, WhatCannotBeWrittenFaithfullyLeavesTheFileAlone) {
    installAgent(kRow1);
    Bplist b;
    b.dict({b.ascii("Agent"), b.ascii("Odd")}, {b.ascii("entry"), b.null()});
    std::string file = b.build(4);
    writeFile(at(kFile), file);
    Outcome r = run({"true"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.messages.back(), "Write to file was Failed");
    EXPECT_EQ(readFile(at(kFile)), file);
    EXPECT_EQ(listFolder(at(kData)), Strings{"tqpatch_data.plist"});
}

TEST_F(EndToEnd, ReadOnlyFolderFailsAndChangesNothing) {
    installAgent(kRow1);
    writeFile(at(kFile), agentFile());
    Outcome r = run({"true"}, "mount --bind \"$NEWROOT/Library/" + kData + "\" \"$NEWROOT/Library/" + kData +
                              "\" && mount -o remount,bind,ro \"$NEWROOT/Library/" + kData + "\"");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.messages.back(), "Write to file was Failed");
    EXPECT_EQ(readFile(at(kFile)), agentFile());
    EXPECT_EQ(listFolder(at(kData)), Strings{"tqpatch_data.plist"});
}

TEST_F(EndToEnd, FullDiskFailsAndChangesNothing) {
    installAgent(kRow1);
    std::string data = "\"$NEWROOT/Library/" + kData + "\"";
    std::string report = scratch / "after";
    // A small file system holding the old file, filled to the last block.
    std::string setup = "cp " + data + "/tqpatch_data.plist /tmp/tolvane-old.$$ 2>/dev/null; "
                        "mount -t tmpfs -o size=64k tolvane-full " + data + " && "
                        "printf 'old agent file' > " + data + "/tqpatch_data.plist && "
                        "(dd if=/dev/zero of=" + data + "/filler bs=1k count=1000 2>/dev/null; true)";
    std::string after = "ls -a " + data + " > '" + report + "'; cat " + data + "/tqpatch_data.plist >> '" + report + "'";
    Outcome r = run({"true"}, setup, after);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.messages.back(), "Write to file was Failed");
    EXPECT_EQ(readFile(report), ".\n..\nfiller\ntqpatch_data.plist\nold agent file");
}

// A file that is there but cannot be read, and a write past a file-size
// limit: status 1, the agent's file as it was, no temp file.
TEST_F(EndToEnd, WhatCannotBeReadOrWrittenWholeFailsAndChangesNothing) {
    installAgent(kRow1);
    std::string big = "<dict><key>Log</key><string>" + std::string(100000, 'x') + "</string></dict>";
    writeFile(at(kFile), big);
    auto expectFailedAndUntouched = [&](const Outcome& r, const std::string& file) {
        EXPECT_EQ(r.status, 1);
        ASSERT_FALSE(r.messages.empty());
        EXPECT_EQ(r.messages.back(), "Write to file was Failed");
        EXPECT_EQ(readFile(at(kFile)), file);
        EXPECT_EQ(tempFiles(at(kData)), Strings{});
    };
    // The text is far longer than the limit of a block.
    expectFailedAndUntouched(run({"true"}, "", "", {"/bin/sh", "-c", "ulimit -f 1 && exec \"$0\" \"$@\""}), big);

    // Owned by someone the namespace does not map: its root may not open it.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(at(kFile).c_str(), 1234, 1234), 0);
        ASSERT_EQ(::chmod(at(kFile).c_str(), 0600), 0);
        expectFailedAndUntouched(run({"true"}), big);
        ASSERT_EQ(::chown(at(kFile).c_str(), 0, 0), 0);
    } else {
        EXPECT_EQ(std::getenv("CI"), nullptr) << "CI runs as root, which the unreadable file needs";
    }
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
    return;  // a sanitizer's allocator ends the process on an allocation it cannot make
#endif
#endif
    // More than there is memory for: a sparse file of a terabyte.
    ASSERT_EQ(::truncate(at(kFile).c_str(), off_t{1} << 40), 0);
    Outcome r = run({"true"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.messages.back(), "Write to file was Failed");
    struct stat st;
    ASSERT_EQ(::stat(at(kFile).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, off_t{1} << 40);
    EXPECT_EQ(tempFiles(at(kData)), Strings{});
}

TEST_F(EndToEnd, DestinationThatIsAFolderFails) {
    installAgent(kRow1);
    makeFolders(kFile);
    Outcome r = run({"true"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.messages.back(), "Write to file was Failed");
    EXPECT_EQ(listFolder(at(kData)), Strings{"tqpatch_data.plist"});
}

TEST_F(EndToEnd, ModeIsKeptAndALinkIsReplacedByAFile) {
    installAgent(kRow1);
    writeFile(at(kFile), agentFile());
    ASSERT_EQ(::chmod(at(kFile).c_str(), 0600), 0);
    EXPECT_EQ(run({"true"}).status, 0);
    struct stat st;
    ASSERT_EQ(::stat(at(kFile).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    writeFile(at(kData + "/target.plist"), agentFile());
    ASSERT_EQ(::unlink(at(kFile).c_str()), 0);
    ASSERT_EQ(::symlink("target.plist", at(kFile).c_str()), 0);
    EXPECT_EQ(run({"true"}).status, 0);
    ASSERT_EQ(::lstat(at(kFile).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(readFile(at(kData + "/target.plist")), agentFile());
    auto d = fileAt(kFile);
    ASSERT_TRUE(d);
    EXPECT_EQ(*d->find("PatchCount"), Value::integer(42));
}

TEST_F(EndToEnd, TextFormsAndEncodingsComeThroughAsXml) {
    installAgent(kRow1);
    std::string utf16 = "\xFE\xFF";
    for (char c : std::string("<dict><key>Name</key><string>Caf\xE9</string></dict>"))
        utf16 += std::string(1, '\0') + c;
    const std::pair<const char*, std::string> forms[] = {
        {"OpenStep", "{ Name = \"Caf\\335\"; ApplicationRunningPrompt = yes; }"},
        {"strings file", "/* agent */ \"Name\" = \"Caf\xC3\xA9\";"},
        {"ISO-8859-1 XML", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><dict><key>Name</key><string>Caf\xE9</string></dict>"},
        {"UTF-16 XML", utf16},
    };
    for (const auto& form : forms) {
        SCOPED_TRACE(form.first);
        writeFile(at(kFile), form.second);
        EXPECT_EQ(run({"true"}).status, 0);
        std::string written = readFile(at(kFile));
        EXPECT_EQ(written.substr(0, 5), "<?xml");
        auto d = plist::dictionaryOf(written);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->size(), 2u);
        EXPECT_EQ(*d->find("Name"), Value::string("Caf\xC3\xA9"));
        EXPECT_EQ(*d->find("ApplicationRunningPrompt"), Value::boolean(true));
    }
}

// Every hostile file through the real binary: status 0 with the entry set,
// or 1 with the file untouched; never a crash.
TEST_F(EndToEnd, HostileFilesEndInZeroOrOne) {
    installAgent(kRow1);
    std::ifstream manifest(testData("hostile/MANIFEST"));
    std::string name, outcome;
    int checked = 0;
    while (manifest >> name >> outcome) {
        if (name[0] == '#') {
            std::getline(manifest, name);
            continue;
        }
        SCOPED_TRACE(name);
        std::string bytes = readFile(testData("hostile/" + name));
        writeFile(at(kFile), bytes);
        Outcome r = run({"true"});
        if (outcome == "write-fails") {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(readFile(at(kFile)), bytes);
        } else {
            EXPECT_EQ(r.status, 0);
            auto d = fileAt(kFile);
            ASSERT_TRUE(d);
            EXPECT_EQ(d->size(), outcome == "nothing" ? 1u : 2u);
        }
        EXPECT_EQ(tempFiles(at(kData)), std::vector<std::string>{});
        ++checked;
    }
    EXPECT_GT(checked, 50);
}

// What Foundation reads, through the real binary: the file it leaves is
// what Foundation would have written.
TEST_F(EndToEnd, WhatFoundationReadsComesThroughAsFoundationWritesIt) {
    installAgent(kRow1);
    const std::string folder = testData("cf-differential");
    std::ifstream manifest(folder + "/MANIFEST.json");
    std::string line;
    int checked = 0;
    while (std::getline(manifest, line)) {
        std::size_t key = line.find("\"file\": \"");
        if (key == std::string::npos) continue;
        std::string name = line.substr(key + 9, line.rfind('"') - key - 9);
        SCOPED_TRACE(name);
        writeFile(at(kFile), readFile(folder + "/" + name));
        Outcome r = run({"true"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(readFile(at(kFile)), readFile(folder + "/" + name + ".expected.xml"));
        ++checked;
    }
    EXPECT_EQ(checked, 8);
}

TEST_F(EndToEnd, FifoAtThePathDoesNotBlock) {
    installAgent(kRow1);
    ASSERT_EQ(::mkfifo(at(kFile).c_str(), 0600), 0);
    Outcome r = run({"true"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.messages, kEnabled);
}

// SIGKILL at each system call of a run: the file is always the old one or
// the complete new one, and the next run succeeds without leaving a temp
// file of its own.
TEST_F(EndToEnd, KilledAtAnySystemCallLeavesTheOldOrTheNewFile) {
    installAgent(kRow1);
    const std::string old = agentFile();
    writeFile(at(kFile), old);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(at(kFile).c_str(), 1234, 1234), 0);  // so that the owner is set too
    }
    ASSERT_EQ(run({"true"}).status, 0);
    const std::string fresh = readFile(at(kFile));
    ASSERT_NE(fresh, old);

    int kills = 0;
    for (const char* call : {"openat", "write", "fchown", "fchmod", "fsync", "close", "linkat", "rename", "unlink"}) {
        writeFile(at(kFile), old);
        std::string trace = scratch / "trace";
        ASSERT_EQ(run({"true"}, "", "", {"/usr/bin/strace", "-f", "-qq", "-o", trace, "-e", std::string("trace=") + call})
                      .status,
                  0);
        std::size_t uses = 0;
        for (char c : readFile(trace)) uses += c == '\n';
        for (std::size_t n = 1; n <= uses; ++n) {
            SCOPED_TRACE(std::string(call) + " #" + std::to_string(n));
            writeFile(at(kFile), old);
            std::string inject = std::string("inject=") + call + ":signal=SIGKILL:when=" + std::to_string(n);
            std::string made = scratch / "made";
            Outcome killed = run({"true"}, "", "",
                                 {"/usr/bin/strace", "-f", "-qq", "-o", made, "-e", std::string("trace=") + call, "-e",
                                  inject});
            if (killed.status == 0) {
                // This run made fewer such calls than the traced one (their
                // number varies a little from run to run): none was the n-th.
                std::size_t calls = 0;
                for (char c : readFile(made)) calls += c == '\n';
                EXPECT_LT(calls, n);
            } else {
                EXPECT_EQ(killed.status, 137);
                ++kills;
            }
            std::string now = readFile(at(kFile));
            EXPECT_TRUE(now == old || now == fresh) << now;
            std::vector<std::string> left = tempFiles(at(kData));
            Outcome next = run({"true"});
            EXPECT_EQ(next.status, 0);
            EXPECT_EQ(readFile(at(kFile)), fresh);
            EXPECT_EQ(tempFiles(at(kData)), left);
            for (const auto& name : left) ::unlink((at(kData) + "/" + name).c_str());
        }
    }
    EXPECT_GT(kills, 20);
}

// The tool held at its first sync while another process replaces the file:
// the agent's version is what the tool then updates.
TEST_F(EndToEnd, AFileReplacedWhileTheToolWritesIsUpdatedNotUndone) {
    installAgent(kRow1);
    writeFile(at(kFile), agentFile());
    Bplist b;
    std::string agents = b.build(b.dict({b.ascii("Agent"), b.ascii("ApplicationRunningPrompt")},
                                        {b.ascii("wrote this meanwhile"), b.boolean(false)}));
    writeFile(scratch / "agents", agents);
    std::string change = "(sleep 0.3 && cp '" + scratch / "agents" + "' '" + at(kFile) + ".new' && mv '" +
                         at(kFile) + ".new' '" + at(kFile) + "') &";
    Outcome r = run({"true"}, change, "",
                    {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e", "inject=fsync:delay_exit=1000000:when=1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.messages, kEnabled);
    auto d = fileAt(kFile);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size(), 2u);
    ASSERT_NE(d->find("Agent"), nullptr);
    EXPECT_EQ(*d->find("Agent"), Value::string("wrote this meanwhile"));
    EXPECT_EQ(*d->find("ApplicationRunningPrompt"), Value::boolean(true));
    EXPECT_EQ(tempFiles(at(kData)), Strings{});
}

TEST_F(EndToEnd, FiftyConcurrentRunsNeverTearTheFile) {
    installAgent(kRow1);
    auto many = plist::makeDictionary();
    for (int i = 0; i < 2000; ++i)
        many->set("Patch" + std::to_string(i), Value::string(std::string(static_cast<std::size_t>(i % 50), 'p')));
    std::string xml;
    ASSERT_TRUE(plist::writeXml(*many, xml));
    writeFile(at(kFile), xml);

    std::string statuses = scratch / "statuses";
    std::string script = "for i in $(seq 1 50); do "
                         "  if [ $((i % 2)) -eq 0 ]; then a=true; else a=other; fi; "
                         "  ( \"$0\" $a 2>/dev/null; echo $? >> '" + statuses + "' ) & "
                         "done; wait";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(TOLVANE_SANDBOX, TOLVANE_SANDBOX, library.path().c_str(), "/bin/sh", "-c", script.c_str(),
                TOLVANE_BINARY, static_cast<char*>(nullptr));
        ::_exit(126);
    }
    int reads = 0;
    while (::waitpid(pid, nullptr, WNOHANG) == 0) {
        auto d = plist::dictionaryOf(readFile(at(kFile)));
        ASSERT_TRUE(d) << "torn file after " << reads << " reads";
        ++reads;
        for (int i = 0; i < 2000; i += 97) ASSERT_NE(d->find("Patch" + std::to_string(i)), nullptr);
    }
    // Each run sees the others change the file under it and starts again; one
    // that sees it change under every try gives up and leaves the file as
    // the others left it (on a slow machine, a sanitizer's, some do).
    std::string codes = readFile(statuses);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), '\n'), 50);
    EXPECT_EQ(codes.find_first_not_of("01\n"), std::string::npos) << codes;
    EXPECT_NE(codes.find('0'), std::string::npos) << codes;
    auto d = plist::dictionaryOf(readFile(at(kFile)));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size(), 2001u);
    EXPECT_TRUE(d->find("ApplicationRunningPrompt")->is(Type::Boolean));
    EXPECT_TRUE(tempFiles(at(kData)).empty());
}

}  // namespace
