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
std::function<void()> synced;

}  // namespace

void inject(Call call, int error, int nth) {
    armed[static_cast<int>(call)] = Fault{error, nth};
}

void limitWrites(unsigned bytes) { limit = bytes; }

void afterTempSynced(std::function<void()> hook) { synced = std::move(hook); }

void clear() {
    for (auto& f : armed) f = Fault{};
    limit = 0;
    synced = nullptr;
}

bool fails(Call call) {
    Fault& f = armed[static_cast<int>(call)];
    if (f.countdown == 0 || --f.countdown > 0) return false;
    errno = f.error;
    return true;
}

unsigned writeLimit() { return limit; }

void tempSynced() {
    if (synced) synced();
}

}  // namespace platform::faults
