// The few places where macOS and Linux differ.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#ifdef __APPLE__
#include <pthread.h>
#else
#include <sys/syscall.h>
#endif

#include "Platform.h"

namespace platform {

const char* programName() {
#ifdef __APPLE__
    return getprogname();
#else
    return program_invocation_short_name;
#endif
}

unsigned long long threadId() {
#ifdef __APPLE__
    std::uint64_t id = 0;
    pthread_threadid_np(nullptr, &id);
    return id;
#else
    return static_cast<unsigned long long>(::syscall(SYS_gettid));
#endif
}

std::pair<struct timespec, struct timespec> fileTimes(const struct stat& st) {
#ifdef __APPLE__
    return {st.st_mtimespec, st.st_ctimespec};
#else
    return {st.st_mtim, st.st_ctim};
#endif
}

int fullSync(int fd) {
#ifdef __APPLE__
    // fsync only reaches the drive; F_FULLFSYNC also flushes its cache. Not
    // every file system supports it, hence the fallback.
    if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
    int r;
    do {
        r = ::fsync(fd);
    } while (r != 0 && errno == EINTR);
    return r;
}

void startWriteback(int fd, long long offset, long long length) {
#ifdef __APPLE__
    // Nothing to start early: F_FULLFSYNC at the end does all of it.
    (void)fd;
    (void)offset;
    (void)length;
#else
    // A hint: the data goes to the drive while the rest is still being
    // written, so that the sync at the end has less to wait for.
    ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
#endif
}

}  // namespace platform
