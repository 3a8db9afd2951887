#include "KivoAgent.h"

#include "Platform.h"

// Function-local statics: the language runs each initialiser exactly once,
// and makes concurrent first callers wait for it.

std::string& KivoAgent::basePath() {
    static std::string value = _basePath();
    return value;
}

std::string& KivoAgent::agentPath() {
    static std::string value = basePath() + "/bin";
    return value;
}

std::string& KivoAgent::systemDataPath() {
    static std::string value = _systemDataPath();
    return value;
}

std::string& KivoAgent::logsPath() {
    static std::string value = basePath() + "/logs";
    return value;
}

std::string& KivoAgent::userLogsPath() {
    static std::string value = basePath() + "/logs" + "/UserLogs";
    return value;
}

std::string& KivoAgent::dataPath() {
    static std::string value = basePath() + "/data";
    return value;
}

std::string KivoAgent::_basePath() {
    static const char* const roots[] = {
        "/Library/Velmora/Ostrel_Agent",
        "/Library/Brannoch_Agent",
        "/Library/Seldwyn_Agent",
    };
    for (const char* root : roots)
        if (platform::exists(std::string(root) + "/bin/tqagentservice")) return root;
    // Directly under /Library, unlike the first root.
    return "/Library/Ostrel_Agent";
}

std::string KivoAgent::_systemDataPath() {
    const std::string& base = basePath();
    if (platform::exists(base + "/SystemData")) return base + "/SystemData";
    platform::log("_systemDataPath refers to data folder");
    return base + "/data";
}
