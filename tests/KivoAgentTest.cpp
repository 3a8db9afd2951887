// The agent locations, each scenario in a process of its own, since every
// location is worked out once per process.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <thread>

#include "FakePlatform.h"
#include "KivoAgent.h"

namespace {

using Strings = std::vector<std::string>;

const std::string kRow1 = "/Library/Velmora/Ostrel_Agent/bin/tqagentservice";
const std::string kRow2 = "/Library/Brannoch_Agent/bin/tqagentservice";
const std::string kRow3 = "/Library/Seldwyn_Agent/bin/tqagentservice";

// Collects mismatches inside the scenario's process; the process's exit
// status and standard error carry them back to the test.
class Checks {
public:
    template <typename A, typename B>
    void equal(const A& actual, const B& expected, const char* what) {
        if (!(actual == expected)) out_ << what << ": got " << show(actual) << ", expected " << show(expected) << "\n";
    }
    [[noreturn]] void finish() {
        std::cerr << out_.str();
        std::exit(out_.str().empty() ? 0 : 1);
    }

private:
    static std::string show(const std::string& s) { return "\"" + s + "\""; }
    static std::string show(const char* s) { return show(std::string(s)); }
    static std::string show(std::size_t n) { return std::to_string(n); }
    static std::string show(const Strings& v) {
        std::string s = "[";
        for (const auto& x : v) s += show(x) + " ";
        return s + "]";
    }
    std::ostringstream out_;
};

#define SCENARIO(name) \
    void name##Body(Checks& check); \
    TEST(KivoAgent, name) { \
        EXPECT_EXIT({ Checks c; name##Body(c); c.finish(); }, ::testing::ExitedWithCode(0), "^$"); \
    } \
    void name##Body(Checks& check)

SCENARIO(NoMarkerFallsBackDirectlyUnderLibrary) {
    fake::addPath("/Library/Velmora/Ostrel_Agent");  // the root alone does not count
    check.equal(KivoAgent::dataPath(), "/Library/Ostrel_Agent/data", "dataPath");
    check.equal(KivoAgent::basePath(), "/Library/Ostrel_Agent", "basePath");
    check.equal(fake::probes(), Strings{kRow1, kRow2, kRow3}, "probes");
    check.equal(fake::messages(), Strings{}, "log");
}

SCENARIO(FirstRowWhoseMarkerExistsWins) {
    fake::addPath(kRow2);
    fake::addPath(kRow3);
    check.equal(KivoAgent::basePath(), "/Library/Brannoch_Agent", "basePath");
    check.equal(fake::probes(), Strings{kRow1, kRow2}, "probes");
}

SCENARIO(AllMarkersPresentPicksRowOne) {
    fake::addPath(kRow1);
    fake::addPath(kRow2);
    fake::addPath(kRow3);
    check.equal(KivoAgent::dataPath(), "/Library/Velmora/Ostrel_Agent/data", "dataPath");
    check.equal(fake::probes(), Strings{kRow1}, "probes");
}

SCENARIO(AssignmentBeforeFirstReadStillProbesOnce) {
    KivoAgent::basePath() = "/opt/agent";
    check.equal(fake::probes(), Strings{kRow1, kRow2, kRow3}, "probes");
    check.equal(KivoAgent::basePath(), "/opt/agent", "basePath");
    check.equal(KivoAgent::dataPath(), "/opt/agent/data", "dataPath");
    check.equal(fake::probes().size(), std::size_t{3}, "probe count");
}

SCENARIO(LaterAssignmentDoesNotReachDataPath) {
    fake::addPath(kRow3);
    check.equal(KivoAgent::dataPath(), "/Library/Seldwyn_Agent/data", "dataPath");
    KivoAgent::basePath() = "/opt/agent";
    check.equal(KivoAgent::dataPath(), "/Library/Seldwyn_Agent/data", "dataPath after");
    KivoAgent::dataPath() = "/elsewhere";
    check.equal(KivoAgent::dataPath(), "/elsewhere", "dataPath assigned");
}

SCENARIO(ValueIsKeptWhenTheMarkerGoes) {
    fake::addPath(kRow1);
    std::string first = KivoAgent::basePath();
    fake::removePath(kRow1);
    check.equal(KivoAgent::basePath(), first, "second read");
    check.equal(fake::probes().size(), std::size_t{1}, "probe count");
}

SCENARIO(JoiningIsPlainConcatenation) {
    KivoAgent::basePath() = "/x/";
    KivoAgent::basePath() += "y/";
    check.equal(KivoAgent::dataPath(), "/x/y//data", "dataPath");
}

SCENARIO(ConcurrentFirstUseProbesOnce) {
    std::vector<std::thread> threads;
    std::vector<std::string> seen(16);
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = i % 2 ? KivoAgent::dataPath() : KivoAgent::systemDataPath(); });
    for (auto& t : threads) t.join();
    for (const auto& s : seen) check.equal(s, "/Library/Ostrel_Agent/data", "location");
    check.equal(fake::probes().size(), std::size_t{4}, "probe count");  // three markers, one SystemData
    check.equal(fake::messages(), Strings{"_systemDataPath refers to data folder"}, "log");
}

SCENARIO(SystemDataFallsBackWithOneLogLine) {
    fake::addPath(kRow3);
    check.equal(KivoAgent::systemDataPath(), "/Library/Seldwyn_Agent/data", "systemDataPath");
    check.equal(KivoAgent::systemDataPath(), "/Library/Seldwyn_Agent/data", "again");
    check.equal(fake::messages(), Strings{"_systemDataPath refers to data folder"}, "log");
    check.equal(fake::probes().back(), "/Library/Seldwyn_Agent/SystemData", "probed");
}

SCENARIO(SystemDataPresentIsUsedSilently) {
    fake::addPath(kRow2);
    fake::addPath("/Library/Brannoch_Agent/SystemData");
    check.equal(KivoAgent::systemDataPath(), "/Library/Brannoch_Agent/SystemData", "systemDataPath");
    check.equal(fake::messages(), Strings{}, "log");
}

SCENARIO(SystemDataAssignedBeforeFirstReadStillProbesAndLogs) {
    KivoAgent::systemDataPath() = "/custom";
    check.equal(fake::messages(), Strings{"_systemDataPath refers to data folder"}, "log");
    check.equal(KivoAgent::systemDataPath(), "/custom", "systemDataPath");
    check.equal(fake::messages().size(), std::size_t{1}, "log count");
}

SCENARIO(SystemDataFallbackIgnoresAnAssignedDataPath) {
    KivoAgent::dataPath() = "/assigned/data";
    check.equal(KivoAgent::systemDataPath(), "/Library/Ostrel_Agent/data", "systemDataPath");
}

SCENARIO(DerivedLocationsComeFromBasePath) {
    fake::addPath(kRow2);
    KivoAgent::logsPath() = "/assigned/logs";
    check.equal(KivoAgent::userLogsPath(), "/Library/Brannoch_Agent/logs/UserLogs", "userLogsPath");
    check.equal(KivoAgent::agentPath(), "/Library/Brannoch_Agent/bin", "agentPath");
    check.equal(KivoAgent::logsPath(), "/assigned/logs", "logsPath");
    check.equal(fake::messages(), Strings{}, "log");
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Re-executes the test binary for each scenario: a truly fresh process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
