#include "FaultInjection.h"

#include <cerrno>

namespace platform::faults {

namespace {

struct Fault {
    int error = 0;
    int countdown = 0;  // uses still to pass before the failure; 0: none armed
};

Fault armed[static_cast<int>(Call::Count)];
unsigned limit = 0;

}  // namespace

void inject(Call call, int error, int nth) {
    armed[static_cast<int>(call)] = Fault{error, nth};
}

void limitWrites(unsigned bytes) { limit = bytes; }

void clear() {
    for (auto& f : armed) f = Fault{};
    limit = 0;
}

bool fails(Call call) {
    Fault& f = armed[static_cast<int>(call)];
    if (f.countdown == 0 || --f.countdown > 0) return false;
    errno = f.error;
    return true;
}

unsigned writeLimit() { return limit; }

}  // namespace platform::faults
