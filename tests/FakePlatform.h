// A file system and a log for the agent-locations tests, linked in place of
// the platform's own exists and log.
#pragma once

#include <string>
#include <vector>

namespace fake {

void addPath(const std::string& path);
void removePath(const std::string& path);
std::vector<std::string> probes();    // every path asked about, in order
std::vector<std::string> messages();  // every message logged, in order

}  // namespace fake
