// Makes the system calls of the read and write paths fail on demand, so that
// tests can check that every failure leaves the destination untouched and no
// temp file behind. Nothing in the tool itself calls these.
#pragma once

#include <functional>

namespace platform::faults {

enum class Call { OpenFile, ReadFile, OpenTemp, Write, Chown, Chmod, FullSync, Close, Link, Rename, SyncFolder, Count };

// The `nth` next use of the call (1 = the very next) fails with `error`
// instead of reaching the system; EINTR makes it fail once and be retried.
void inject(Call call, int error, int nth = 1);

// Every write puts at most this many bytes through (0: no limit).
void limitWrites(unsigned bytes);

// Runs `hook` once the temp file is synced, every time until clear(): a
// test stands in there for another process changing the file meanwhile.
void afterTempSynced(std::function<void()> hook);

void clear();

// Used by the write path: true when this use of the call is to fail, with
// errno set.
bool fails(Call call);
unsigned writeLimit();
void tempSynced();

}  // namespace platform::faults
