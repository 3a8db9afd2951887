// Sets "ApplicationRunningPrompt" in the agent's patch-data file to the
// Boolean that the one argument selects.
#include <exception>
#include <memory>
#include <string>

#include "KivoAgent.h"
#include "Platform.h"

static bool isApplicationRunningDisable = false;
static std::string patchDataPlistPath;
static std::unique_ptr<plist::Document> dictionary;

int main(int argc, char** argv) try {
    const std::vector<std::string> args = platform::arguments(argc, argv);
    if (args.size() < 2) {
        platform::log("Arguments are low");
        platform::exit(1);
    }
    platform::log("Given Param " + args[1]);

    if (args[1] == "true") {
        platform::log("Going to Enable Application Running prompt");
        isApplicationRunningDisable = true;
    } else {
        platform::log("Going to Disable Application Running prompt");
        isApplicationRunningDisable = false;
    }

    patchDataPlistPath = KivoAgent::dataPath() + "/tqpatch_data.plist";

    // A file that is there but cannot be read is never replaced: that would
    // lose every entry of the agent's.
    bool unreadable = false;
    dictionary = platform::loadDictionary(patchDataPlistPath, unreadable);
    if (unreadable) {
        platform::log("Write to file was Failed");
        platform::exit(1);
    }
    if (!dictionary) dictionary = platform::emptyDictionary();

    dictionary->set("ApplicationRunningPrompt", platform::booleanValue(isApplicationRunningDisable));

    if (platform::writeDictionary(*dictionary, platform::fileUrl(patchDataPlistPath))) {
        platform::log("Write to file was Successful");
        platform::exit(0);
    }
    platform::log("Write to file was Failed");
    platform::exit(1);
} catch (const std::exception&) {
    // No memory left for the flow itself. The load and the write handle
    // their own failures, so the file is untouched here.
    platform::log("Write to file was Failed");
    platform::exit(1);
}
