// Where the agent is installed and where its folders lie. Each location is
// worked out on its first use, read or assignment, once per process, and
// can be assigned afterwards: KivoAgent::basePath() = "/opt/agent".
#pragma once

#include <string>

class KivoAgent {
public:
    KivoAgent() = delete;
    KivoAgent(const KivoAgent&) = delete;
    KivoAgent& operator=(const KivoAgent&) = delete;

    static std::string& basePath();
    static std::string& agentPath();
    static std::string& systemDataPath();
    static std::string& logsPath();
    static std::string& userLogsPath();
    static std::string& dataPath();

private:
    // The install root whose marker exists, probed afresh on every call.
    static std::string _basePath();
    // The "SystemData" folder of the install root, or the data folder.
    static std::string _systemDataPath();
};
