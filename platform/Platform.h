// The operating-system operations the tool and the agent locations use.
// Each lives in a file of its own, so a test can link a fake in its place.
#pragma once

#include <sys/stat.h>

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Document.h"

namespace platform {

// The program path followed by the arguments, as the process was given them.
std::vector<std::string> arguments(int argc, char** argv);

// One entry in the system log and one line on standard error (when standard
// error is open), the message taken as data. Never fails.
void log(std::string_view message);

// True when anything exists at the path; a symbolic link counts when its
// target exists. Asks the file system afresh every time.
bool exists(const std::string& path);

// The property list at the path, its root a dictionary; null when nothing
// is there, the path is no regular file, or the file holds no dictionary.
// `unreadable` is set, and null returned, when a file is there but cannot
// be opened or read, memory for it included: what it holds is then
// unknown, and it must not be replaced.
std::unique_ptr<plist::Document> loadDictionary(const std::string& path, bool& unreadable);

std::unique_ptr<plist::Document> emptyDictionary();

plist::Scalar booleanValue(bool value);

struct FileUrl {
    std::string path;
};

FileUrl fileUrl(const std::string& path);

// Serialises the document as XML and replaces the file atomically. On
// failure the file is as it was; `error`, when given, says why.
//
// When the path was loaded by loadDictionary(), the file is looked at once
// more right before the rename. If it is no longer what was read (another
// file, the same file changed, a file where there was none, none where there
// was one), the write starts again from the file as it now is, with the
// document's edits() made to it; a file that keeps changing makes the
// write fail.
bool writeDictionary(const plist::Document& dictionary, const FileUrl& url, std::string* error = nullptr);

// Replaces the file with the bytes: a temp file beside it, written, synced,
// given the old file's mode and owner, renamed over it, the folder synced.
// On any failure the temp file is gone and the destination untouched.
bool replaceFile(const std::string& path, std::string_view contents, std::string* error = nullptr);

// The same, for contents made while they are written: `produce` hands each
// piece to the sink it is given, and returns false to give up (as it must
// when the sink returns false).
using Sink = std::function<bool(std::string_view)>;
bool replaceFile(const std::string& path, const std::function<bool(const Sink&)>& produce,
                 std::string* error = nullptr);

[[noreturn]] void exit(int status);

// The process's program name and the calling thread's number, as the log
// line shows them.
const char* programName();
unsigned long long threadId();

// A file's last modification and last change, to the nanosecond.
std::pair<struct timespec, struct timespec> fileTimes(const struct stat& st);

// Flushes a file's data to stable storage (the drive's cache included where
// the system can).
int fullSync(int fd);

// Starts putting a written range of the file on stable storage without
// waiting for it, where the system can; fullSync() still has to follow.
void startWriteback(int fd, long long offset, long long length);

}  // namespace platform
