#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "Platform.h"

namespace platform {

namespace {

bool stderrIsOpen() {
    struct stat st;
    if (::fstat(STDERR_FILENO, &st) != 0) return false;
    return S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode);
}

void writeAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;  // logging never fails the tool
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

void setUp() {
    // A reader of standard error that has gone away must not end the run
    // before the file is written.
    ::signal(SIGPIPE, SIG_IGN);
    ::openlog("Tolvane", LOG_PID, LOG_USER);
}

}  // namespace

void log(std::string_view message) {
    static const bool ready = (setUp(), true);
    (void)ready;
    std::string text(message);
    ::syslog(LOG_NOTICE, "%s", text.c_str());
    if (!stderrIsOpen()) return;

    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    ::localtime_r(&now.tv_sec, &local);
    char stamp[64], ids[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
    std::snprintf(ids, sizeof ids, "[%d:%llu] ", static_cast<int>(::getpid()), threadId());
    std::string line = stamp;
    line += programName();
    line += ids;
    line += text;
    if (line.empty() || line.back() != '\n') line += '\n';
    writeAll(STDERR_FILENO, line.data(), line.size());
}

}  // namespace platform
