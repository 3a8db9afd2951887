#include <cstdlib>

#include "Platform.h"

namespace platform {

std::vector<std::string> arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void exit(int status) { std::exit(status); }

}  // namespace platform
