// The project's own hostile files, each with the outcome it must give.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "PropertyList.h"
#include "TestFiles.h"

namespace {

std::vector<std::pair<std::string, std::string>> manifest() {
    std::ifstream in(testData("hostile/MANIFEST"));
    std::vector<std::pair<std::string, std::string>> entries;
    std::string file, outcome;
    while (in >> file) {
        if (file[0] == '#') {
            std::getline(in, file);
            continue;
        }
        in >> outcome;
        entries.emplace_back(file, outcome);
    }
    return entries;
}

TEST(HostileCorpus, EveryFileGivesItsOutcomeQuickly) {
    auto entries = manifest();
    ASSERT_GT(entries.size(), 50u);
    for (const auto& [file, outcome] : entries) {
        std::string bytes = readFile(testData("hostile/" + file));
        SCOPED_TRACE(file);
        auto start = std::chrono::steady_clock::now();
        auto dict = plist::readDictionary(bytes);
        std::string xml, error;
        bool written = dict && plist::writeXml(*dict, xml, &error);
        std::string got = !dict ? "nothing" : written ? "dictionary" : "write-fails";
        EXPECT_EQ(got, outcome) << error;
        // Generous, so that a slow machine passes; exponential work would not.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        if (written) {
            EXPECT_LT(xml.size(), 64 * bytes.size() + (64u << 20));
        }
    }
}

}  // namespace
