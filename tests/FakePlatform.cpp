#include "FakePlatform.h"

#include <mutex>
#include <set>

#include "Platform.h"

namespace {

std::mutex lock;
std::set<std::string> paths;
std::vector<std::string> asked, logged;

}  // namespace

namespace fake {

void addPath(const std::string& path) {
    std::lock_guard<std::mutex> g(lock);
    paths.insert(path);
}

void removePath(const std::string& path) {
    std::lock_guard<std::mutex> g(lock);
    paths.erase(path);
}

std::vector<std::string> probes() {
    std::lock_guard<std::mutex> g(lock);
    return asked;
}

std::vector<std::string> messages() {
    std::lock_guard<std::mutex> g(lock);
    return logged;
}

}  // namespace fake

namespace platform {

bool exists(const std::string& path) {
    std::lock_guard<std::mutex> g(lock);
    asked.push_back(path);
    return paths.count(path) != 0;
}

void log(std::string_view message) {
    std::lock_guard<std::mutex> g(lock);
    logged.emplace_back(message);
}

}  // namespace platform
