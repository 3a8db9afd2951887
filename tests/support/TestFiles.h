// Files and folders for tests.
#pragma once

#include <string>
#include <vector>

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

// A fresh folder under the temp folder, removed with everything in it when
// the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The names in a folder, "." and ".." left out, sorted.
std::vector<std::string> listFolder(const std::string& path);

std::string testData(const std::string& relative);
