#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "DocumentBuilder.h"
#include "FaultInjection.h"
#include "Platform.h"
#include "PropertyList.h"
#include "TextEncoding.h"
#include "TwoParts.h"

namespace platform {

namespace {

using faults::Call;
using faults::fails;

void setError(std::string* error, const std::string& what) {
    if (error) *error = what + (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
}

bool writeAll(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    std::size_t n = bytes.size();
    while (n > 0) {
        std::size_t chunk = faults::writeLimit() != 0 && n > faults::writeLimit() ? faults::writeLimit() : n;
        ssize_t w = fails(Call::Write) ? -1 : ::write(fd, p, chunk);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return false;
        if (w == 0) {
            errno = EIO;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Owns the temp file until it is renamed into place; removes it otherwise.
class TempFile {
public:
    TempFile(const std::string& folder, const std::string& name) {
        for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
            path_ = folder + "/." + name + ".tolvane-" + uniqueSuffix(attempt);
            fd_ = fails(Call::OpenTemp) ? -1
                                        : ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd_ < 0 && errno != EEXIST) break;
        }
    }
    ~TempFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!kept_) ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

    bool close() {
        int fd = fd_;
        fd_ = -1;
        if (fails(Call::Close)) {
            ::close(fd);
            return false;
        }
        return ::close(fd) == 0;
    }
    void keep() { kept_ = true; }

private:
    static std::string uniqueSuffix(int attempt) {
        struct timespec now;
        ::clock_gettime(CLOCK_REALTIME, &now);
        unsigned long long v = static_cast<unsigned long long>(now.tv_nsec) ^
                               (static_cast<unsigned long long>(::getpid()) << 20) ^
                               (static_cast<unsigned long long>(attempt) * 0x9E3779B97F4A7C15ull);
        static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        std::string s;
        for (int i = 0; i < 8; ++i, v /= 36) s += digits[v % 36];
        return s;
    }

    std::string path_;
    int fd_ = -1;
    bool kept_ = false;
};

// Writes the temp file. The first megabytes are written at once; past them,
// a thread of its own takes over, so that making the text and the system's
// copying of it overlap. Each half megabyte written is handed on to the
// drive at once, so that the sync at the end has less to wait for.
class TempWriter {
public:
    explicit TempWriter(int fd) : fd_(fd) {}
    ~TempWriter() { finish(); }
    TempWriter(const TempWriter&) = delete;
    TempWriter& operator=(const TempWriter&) = delete;

    // False once a write has failed.
    bool add(std::string_view piece) {
        if (!thread_.joinable() && (total_ < kThreadFrom || threadless_ || !startThread())) {
            if (!failed_ && !written(piece)) {
                failed_ = true;
                errno_ = errno;
            }
            return !failed_;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        while (!failed_ && !piece.empty()) {
            // Each chunk filled to its reserved size and no further, so
            // that none grows to twice the room.
            std::size_t n = std::min(piece.size(), static_cast<std::size_t>(kChunk) - filling_.size());
            filling_.append(piece.data(), n);
            piece.remove_prefix(n);
            if (filling_.size() < static_cast<std::size_t>(kChunk)) break;
            // At most a couple of megabytes wait; the text's maker waits beyond that.
            changed_.wait(lock, [this] { return queue_.size() < kQueued || failed_; });
            queue_.push_back(std::move(filling_));
            nextChunk();
            changed_.notify_all();
        }
        return !failed_;
    }

    // Waits for every write; false, with errno set, when one failed.
    bool finish() {
        if (thread_.joinable()) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!filling_.empty()) queue_.push_back(std::move(filling_));
                done_ = true;
            }
            changed_.notify_all();
            thread_.join();
        }
        if (failed_) errno = errno_;
        return !failed_;
    }

private:
    static constexpr long long kChunk = 1 << 19;
    static constexpr long long kThreadFrom = 8 << 20;  // below, a thread costs more than it saves
    static constexpr std::size_t kQueued = 3;

    // Before the thread starts, on the calling thread; after, on the thread.
    bool written(std::string_view piece) {
        if (!writeAll(fd_, piece)) return false;
        total_ += static_cast<long long>(piece.size());
        if (total_ - started_ >= kChunk) {
            startWriteback(fd_, started_, total_ - started_);
            started_ = total_;
        }
        return true;
    }

    // The chunk to fill next: one already written, where there is one,
    // whose pages the system has made already. A fresh one takes a page
    // fault for each of its pages, as the heap gives a freed chunk's memory
    // back to the system. Under the lock.
    void nextChunk() {
        if (emptied_.empty()) {
            filling_ = std::string();
            filling_.reserve(kChunk);
            return;
        }
        filling_ = std::move(emptied_.back());
        emptied_.pop_back();
    }

    bool startThread() {
        // Room for every chunk there can be: one filling, those queued and
        // one being written. Handing one back then never asks for memory
        // on the thread.
        emptied_.reserve(kQueued + 2);
        filling_.reserve(kChunk);
        try {
            thread_ = std::thread([this] { run(); });
            return true;
        } catch (const std::system_error&) {
            threadless_ = true;  // written on the calling thread, then
            return false;
        }
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            changed_.wait(lock, [this] { return !queue_.empty() || done_; });
            if (queue_.empty()) return;
            std::string piece = std::move(queue_.front());
            queue_.pop_front();
            changed_.notify_all();
            lock.unlock();
            bool ok = written(piece);
            int error = errno;
            lock.lock();
            if (ok && emptied_.size() < emptied_.capacity()) {
                piece.clear();
                emptied_.push_back(std::move(piece));
            }
            if (!ok) {
                failed_ = true;
                errno_ = error;
                queue_.clear();
                changed_.notify_all();
                return;
            }
        }
    }

    int fd_;
    long long total_ = 0, started_ = 0;
    bool failed_ = false;
    int errno_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> queue_;
    std::string filling_;
    std::vector<std::string> emptied_;  // chunks written, to be filled again
    bool done_ = false;
    bool threadless_ = false;
    std::thread thread_;
};

mode_t newFileMode() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

bool syncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    // The full sync, as for the file: the rename is on stable storage only
    // once the folder is.
    int r = fails(Call::SyncFolder) ? -1 : fullSync(fd);
    // Some file systems cannot sync a folder; that is no failure of ours.
    bool ok = r == 0 || errno == EINVAL || errno == ENOTSUP;
    ::close(fd);
    return ok;
}

// The suffix of the second name a run gives the old file while it replaces it.
constexpr std::string_view kBackupSuffix = ".old";

// Temp files that a run killed mid-write left behind: the tool's own name
// pattern, and old enough that no run still at work can own them.
void removeStaleTempFiles(const std::string& folder, const std::string& name) {
    constexpr time_t kStaleAfterSeconds = 600;
    std::string prefix = "." + name + ".tolvane-";
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    time_t now = ::time(nullptr);
    while (dirent* e = ::readdir(dir)) {
        if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) != 0) continue;
        struct stat st;
        // A run's second name for the old file (see replaceFile) keeps that
        // file's modification time; its change time is when it was made.
        std::size_t length = std::strlen(e->d_name);
        bool backup = length > kBackupSuffix.size() &&
                      std::string_view(e->d_name + length - kBackupSuffix.size()) == kBackupSuffix;
        if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            now - (backup ? st.st_ctime : st.st_mtime) > kStaleAfterSeconds)
            ::unlinkat(::dirfd(dir), e->d_name, 0);
    }
    ::closedir(dir);
}

}  // namespace

bool replaceFile(const std::string& path, std::string_view contents, std::string* error) {
    return replaceFile(path, [contents](const Sink& sink) { return sink(contents); }, error);
}

namespace {

enum class Replaced { Done, Failed, Changed };

// What was at a path when it was read: enough to tell whether it is still
// the same file, unchanged.
struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {}, changed{};

    bool operator==(const Identity& o) const {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

Identity identityOf(const struct stat& st) {
    auto [modified, changed] = fileTimes(st);
    return Identity{true, st.st_dev, st.st_ino, st.st_size, modified, changed};
}

// What the path holds now, looked at through a symbolic link as the read
// opened it; nothing when that cannot be told.
std::optional<Identity> identityAt(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return identityOf(st);
    if (errno == ENOENT || errno == ENOTDIR) return Identity{};
    return std::nullopt;
}

// What each path held when loadDictionary() last read it.
std::map<std::string, Identity>& readAt() {
    static std::map<std::string, Identity> identities;
    return identities;
}

// `expected`, when given, is what the path must still hold right before the
// rename; anything else leaves it alone and says Changed.
Replaced replace(const std::string& path, const std::function<bool(const Sink&)>& produce, std::string* error,
                 const Identity* expected) {
    // Under a file-size limit a write past it must fail with EFBIG, so that
    // the temp file is cleaned up, rather than end the process.
    static const bool noSizeSignal = (::signal(SIGXFSZ, SIG_IGN), true);
    (void)noSizeSignal;
    errno = 0;
    std::size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);

    // Through a symbolic link this is the target's mode and owner.
    struct stat old;
    bool replacing = ::stat(path.c_str(), &old) == 0;
    if (replacing && S_ISDIR(old.st_mode)) {
        errno = EISDIR;
        setError(error, "destination is a folder");
        return Replaced::Failed;
    }

    TempFile temp(folder, name);
    if (temp.fd() < 0) return setError(error, "cannot create the temp file"), Replaced::Failed;
    {
        TempWriter writer(temp.fd());
        bool made = produce([&](std::string_view piece) { return writer.add(piece); });
        if (!writer.finish()) return setError(error, "cannot write the temp file"), Replaced::Failed;
        if (!made) return Replaced::Failed;
    }
    if (replacing) {
        struct stat mine;
        if (::fstat(temp.fd(), &mine) != 0) return setError(error, "cannot stat the temp file"), Replaced::Failed;
        // Only a privileged process may give a file away, and only to an
        // owner it can name (EINVAL: not mapped in this user namespace);
        // otherwise the file becomes the writer's, as with any atomic save.
        if ((mine.st_uid != old.st_uid || mine.st_gid != old.st_gid) &&
            (fails(Call::Chown) || ::fchown(temp.fd(), old.st_uid, old.st_gid) != 0) && errno != EPERM &&
            errno != EINVAL)
            return setError(error, "cannot set the owner"), Replaced::Failed;
    }
    // After the owner: changing the owner clears set-id bits.
    if (fails(Call::Chmod) || ::fchmod(temp.fd(), replacing ? old.st_mode & 07777 : newFileMode()) != 0)
        return setError(error, "cannot set the mode"), Replaced::Failed;
    // A file that changed while the text was made need not wait for the sync.
    auto unchanged = [&] {
        if (!expected) return true;
        std::optional<Identity> now = identityAt(path);
        if (now && *now == *expected) return true;
        errno = 0;
        setError(error, "the file changed while it was being written");
        return false;
    };
    if (!unchanged()) return Replaced::Changed;
    if (fails(Call::FullSync) || fullSync(temp.fd()) != 0) return setError(error, "cannot sync the temp file"), Replaced::Failed;
    faults::tempSynced();
    if (!temp.close()) return setError(error, "cannot close the temp file"), Replaced::Failed;

    // The last look before the rename: a file that is no longer what was read
    // holds a change someone else made meanwhile, which the rename would undo.
    if (!unchanged()) return Replaced::Changed;

    // A second name for the old file, so that it can be put back if the
    // folder cannot be synced after the rename.
    struct stat entry;
    bool hadEntry = ::lstat(path.c_str(), &entry) == 0;
    std::string backup = temp.path() + std::string(kBackupSuffix);
    if (!hadEntry || fails(Call::Link) || ::linkat(AT_FDCWD, path.c_str(), AT_FDCWD, backup.c_str(), 0) != 0)
        backup.clear();

    if (fails(Call::Rename) || ::rename(temp.path().c_str(), path.c_str()) != 0) {
        setError(error, "cannot rename over the destination");
        if (!backup.empty()) ::unlink(backup.c_str());
        return Replaced::Failed;
    }
    temp.keep();
    if (!syncFolder(folder)) {
        // The new file might not survive a power loss: put the old one back
        // (or take the new one away) and report the failure. Where neither
        // can be done, the new file is what the path holds, and the result
        // says so.
        int syncError = errno;
        bool undone = !backup.empty() ? !fails(Call::Rename) && ::rename(backup.c_str(), path.c_str()) == 0
                                      : !hadEntry && ::unlink(path.c_str()) == 0;
        if (!backup.empty() && !undone) ::unlink(backup.c_str());
        if (!undone) return Replaced::Done;
        errno = syncError;
        setError(error, "cannot sync the folder");
        return Replaced::Failed;
    }
    if (!backup.empty()) ::unlink(backup.c_str());
    removeStaleTempFiles(folder, name);
    return Replaced::Done;
}

}  // namespace

bool replaceFile(const std::string& path, const std::function<bool(const Sink&)>& produce, std::string* error) {
    return replace(path, produce, error, nullptr) == Replaced::Done;
}

// From this size a file is read in two halves at once.
constexpr std::size_t kHalvedFrom = 8 << 20;

std::unique_ptr<plist::Document> loadDictionary(const std::string& path, bool& unreadable) {
    unreadable = false;
    // Non-blocking, so that a FIFO at the path cannot hold the tool up.
    readAt().erase(path);
    int fd = fails(Call::OpenFile) ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        // Only a file that is not there counts as empty; one that is there
        // but cannot be opened (a failing disk, a denied open) must not be
        // replaced by a file without the agent's entries.
        unreadable = errno != ENOENT && errno != ENOTDIR;
        if (!unreadable) readAt()[path] = Identity{};
        return nullptr;
    }
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    try {
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            unreadable = true;
            return nullptr;
        }
        readAt()[path] = identityOf(st);
        if (!S_ISREG(st.st_mode)) return nullptr;
        // Bytes read into `to` from `at`: 0 at the end of the file, -1 where
        // the read failed. Only the calling thread asks the fault hooks.
        auto readInto = [&](char* to, std::size_t room, std::size_t at, bool hooked = true) {
            while (true) {
                ssize_t r = hooked && fails(Call::ReadFile) ? -1 : ::pread(fd, to, room, static_cast<off_t>(at));
                if (r >= 0 || errno != EINTR) return r;
            }
        };
        auto failed = [&] {
            unreadable = true;
            readAt().erase(path);
            return nullptr;
        };
        // A large file is read in two halves at once (see inTwoParts): up to
        // `half` by first(end), the rest by second(end), each false where a
        // read failed, `end` where it stopped. What one read from the start
        // would give: `read` false where it would have failed first, else
        // `end` where it would have stopped (below `half` where the first
        // half met the file's end).
        struct Halves {
            bool read;
            std::size_t end;
        };
        auto inHalves = [&](std::size_t half, auto first, auto second) {
            bool injected = fails(Call::ReadFile);  // for the second half, decided here
            std::size_t ends[2] = {half, half};
            bool read[2] = {false, false};
            plist::detail::inTwoParts([&](std::size_t part) {
                if (part == 0) {
                    read[0] = first(ends[0]);
                    return;
                }
                try {
                    read[1] = !injected && second(ends[1]);
                } catch (const std::exception&) {  // no memory for its text: a failed read
                }
            });
            return Halves{read[0] && (ends[0] < half || read[1]), ends[0] == half ? ends[1] : ends[0]};
        };
        // The first four bytes tell UTF-16 text, which is made UTF-8 as it
        // is read: the file, twice the size, is then never held whole.
        char head[4];
        std::size_t used = 0;
        for (ssize_t r = 1; used < 4 && r > 0; used += static_cast<std::size_t>(r))
            if ((r = readInto(head + used, 4 - used, used)) < 0) return failed();
        std::size_t skip;
        bool bigEndian;
        if (used == 4 && plist::encoding::utf16Start(std::string_view(head, 4), skip, bigEndian)) {
            using plist::encoding::Utf16Converter;
            auto size = static_cast<std::size_t>(st.st_size);
            Utf16Converter text(bigEndian, size);
            text.add(head + skip, used - skip);
            // Converts [from, to) a megabyte at a time, up to the file's
            // end; false where a read failed. A low surrogate first of all
            // is left to the text before (`first`), whose pair it may end.
            auto convert = [&](Utf16Converter& into, std::size_t from, std::size_t to, std::size_t& end, bool hooked,
                               std::string* first) {
                std::string chunk(std::min<std::size_t>(to - from, 1 << 20), '\0');
                for (end = from; end < to;) {
                    ssize_t r = readInto(&chunk[0], std::min(chunk.size(), to - end), end, hooked);
                    if (r < 0) return false;
                    if (r == 0) break;
                    std::size_t n = static_cast<std::size_t>(r), lead = 0;
                    if (first && end == from && n >= 2) {
                        unsigned char high = static_cast<unsigned char>(chunk[bigEndian ? 0 : 1]);
                        if (high >= 0xDC && high <= 0xDF) first->assign(chunk, 0, lead = 2);
                    }
                    into.add(chunk.data() + lead, n - lead);
                    end += n;
                }
                return true;
            };
            constexpr auto kToTheEnd = static_cast<std::size_t>(-1);
            // A large file's second half is converted on a thread of its
            // own meanwhile, as a text in UTF-8 is read.
            std::size_t half = size / 2 & ~std::size_t{4095};
            if (size > kHalvedFrom) {
                Utf16Converter second(bigEndian, size - half);
                std::string lead;
                Halves h = inHalves(
                    half, [&](std::size_t& end) { return convert(text, used, half, end, true, nullptr); },
                    [&](std::size_t& end) { return convert(second, half, kToTheEnd, end, false, &lead); });
                if (!h.read) return failed();
                if (h.end < half) return plist::readUtf16Dictionary(text.finish());
                text.add(lead.data(), lead.size());
                std::string whole = text.finish();
                whole += second.finish();
                return plist::readUtf16Dictionary(std::move(whole));
            }
            if (!convert(text, used, kToTheEnd, used, true, nullptr)) return failed();
            return plist::readUtf16Dictionary(text.finish());
        }
        // One byte more than the file holds, so that its end is met
        // without growing.
        plist::Bytes bytes = plist::Bytes::block(std::max(used, static_cast<std::size_t>(st.st_size)) + 1);
        std::memcpy(bytes.data(), head, used);
        // Fills [from, to) up to the file's end; false where a read failed.
        // Each page is written to from here before the read fills it, so
        // that the pages are made on this thread: a read into pages not yet
        // made left part of that cost to whoever looked at them first after.
        auto fill = [&](std::size_t from, std::size_t to, std::size_t& end, bool hooked) {
            for (std::size_t page = from; page < to; page += 4096) bytes.data()[page] = 0;
            for (end = from; end < to;) {
                ssize_t r = readInto(bytes.data() + end, to - end, end, hooked);
                if (r < 0) return false;
                if (r == 0) break;
                end += static_cast<std::size_t>(r);
            }
            return true;
        };
        // A large file's second half is read on a thread of its own
        // meanwhile: reading into memory never touched before waits mostly
        // on the system's making of its pages, which two threads halve.
        std::size_t half = bytes.size() / 2 & ~std::size_t{4095};
        if (bytes.size() > kHalvedFrom) {  // the head is then well inside the first half
            Halves h = inHalves(
                half, [&](std::size_t& end) { return fill(used, half, end, true); },
                [&](std::size_t& end) { return fill(half, bytes.size() - 1, end, false); });
            if (!h.read) return failed();
            used = h.end;
        }
        // The rest, up to the file's end, however far it has grown.
        while (true) {
            std::size_t end;
            if (!fill(used, bytes.size(), end, true)) return failed();
            used = end;
            if (used < bytes.size()) break;
            plist::Bytes larger = plist::Bytes::block(2 * bytes.size());
            std::memcpy(larger.data(), bytes.data(), used);
            bytes = std::move(larger);
        }
        bytes.shrink(used);
        return plist::readDictionary(std::move(bytes));
    } catch (const std::exception&) {  // no memory for the file or its values
        unreadable = true;
        readAt().erase(path);
        return nullptr;
    }
}

std::unique_ptr<plist::Document> emptyDictionary() { return plist::DocumentBuilder::emptyDictionary(); }

plist::Scalar booleanValue(bool value) { return plist::Scalar::boolean(value); }

FileUrl fileUrl(const std::string& path) { return FileUrl{path}; }

bool writeDictionary(const plist::Document& dictionary, const FileUrl& url, std::string* error) {
    // Each try reads the file again, and a file someone rewrites for good
    // would keep this going for ever: an agent writes its file now and then,
    // not many times a second, so a file that changed under every one of
    // these tries is left as it is and the write fails.
    constexpr int kTries = 16;
    auto found = readAt().find(url.path);
    std::optional<Identity> expected;
    if (found != readAt().end()) expected = found->second;
    std::unique_ptr<plist::Document> fresh;  // the file as it was at the last try, with the edits made
    try {
        for (int tries = 1;; ++tries) {
            Replaced outcome;
            {
                // A small document is checked before the temp file exists, a
                // large one while its text is written: if the check fails, the
                // temp file goes and the file stays as it was.
                plist::XmlText text(fresh ? *fresh : dictionary);
                if (!text) {
                    if (error) *error = text.error();
                    return false;
                }
                outcome = replace(url.path, [&](const Sink& sink) { return text.write(sink); }, error,
                                  expected ? &*expected : nullptr);
                if (!text && error) *error = text.error();  // the check failed while the text was written
            }
            if (outcome != Replaced::Changed) return outcome == Replaced::Done;
            if (tries == kTries) return false;
            // A short wait, longer each time (2 ms, then 4, up to 250), and a
            // random share more, so that two writers do not keep meeting.
            struct timespec now;
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            long base = std::min(1000000L << std::min(tries, 10), 250000000L);
            unsigned long mix = static_cast<unsigned long>(now.tv_nsec) * 2654435761u ^ static_cast<unsigned long>(::getpid());
            struct timespec wait = {0, base + static_cast<long>(mix % static_cast<unsigned long>(base))};
            ::nanosleep(&wait, nullptr);
            bool unreadable = false;
            fresh = loadDictionary(url.path, unreadable);
            if (unreadable) {
                if (error) *error = "the file changed and cannot be read again";
                return false;
            }
            if (!fresh) fresh = emptyDictionary();
            for (const auto& edit : dictionary.edits()) fresh->set(edit.key, edit.value);
            expected = readAt()[url.path];
        }
    } catch (const std::exception& e) {  // no memory: the temp file is gone with the unwinding
        if (error) *error = e.what();
    }
    return false;
}

}  // namespace platform
