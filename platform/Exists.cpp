#include <sys/stat.h>

#include "Platform.h"

namespace platform {

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace platform
