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

// The message with its control characters written visibly (\n, \x1b,
// \u009b), so that no message can end its line early or forge another;
// a newline that ends the message stays, as the end of its line.
std::string visible(std::string_view message) {
    bool endsInNewline = !message.empty() && message.back() == '\n';
    if (endsInNewline) message.remove_suffix(1);
    std::string text;
    text.reserve(message.size() + 1);
    char code[8];
    for (std::size_t i = 0; i < message.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(message[i]);
        unsigned char next = i + 1 < message.size() ? static_cast<unsigned char>(message[i + 1]) : 0;
        if (c == '\n') {
            text += "\\n";
        } else if (c == '\r') {
            text += "\\r";
        } else if (c == '\t') {
            text += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(code, sizeof code, "\\x%02x", c);
            text += code;
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // A C1 control in UTF-8; some terminals act on these too.
            std::snprintf(code, sizeof code, "\\u%04x", next);
            text += code;
            ++i;
        } else {
            text += static_cast<char>(c);
        }
    }
    if (endsInNewline) text += '\n';
    return text;
}

}  // namespace

void log(std::string_view message) {
    static const bool ready = (setUp(), true);
    (void)ready;
    std::string text = visible(message);
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
