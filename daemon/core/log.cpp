#include "core/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int log_verbose = 0;

namespace {

FILE *log_stream = nullptr;
constexpr size_t kMessageSize = 1024;
const char *const kLevelNames[] = {"DEBUG", "INFO", "WARN", "ERROR"};

void current_time_text(char *out, size_t size) {
    time_t now = time(nullptr);
    char buffer[64];
    if (!ctime_r(&now, buffer)) {
        buffer[0] = '\0';
    }
    size_t length = strlen(buffer);
    if (length > 0 && buffer[length - 1] == '\n') {
        buffer[length - 1] = '\0';
    }
    snprintf(out, size, "%s", buffer);
}

// True when standard output is the journal's stream (JOURNAL_STREAM names its device and
// inode): each line then starts with its syslog priority, so the journal keeps the levels.
bool stdout_is_journal() {
    static const bool is_journal = [] {
        const char *stream = getenv("JOURNAL_STREAM");
        unsigned long long device = 0;
        unsigned long long inode = 0;
        struct stat info {};
        return stream && sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
               fstat(STDOUT_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
    }();
    return is_journal;
}

const char *priority_prefix(unsigned level) {
    static const char *const kPrefixes[] = {"<7>", "<6>", "<4>", "<3>"};
    return log_stream == stdout && stdout_is_journal() ? kPrefixes[level] : "";
}

}  // namespace

void log_open(const char *path) {
    log_stream = nullptr;
    if (path) {
        // Readable by the owner's group at most, whatever the file-creation mask.
        int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
        log_stream = fd >= 0 ? fdopen(fd, "a+") : nullptr;
        if (fd >= 0 && !log_stream) {
            close(fd);
        }
    }
    if (!log_stream) {
        log_stream = stdout;
    }
}

void log_close() {
    if (log_stream && log_stream != stdout) {
        fclose(log_stream);
    }
    log_stream = nullptr;
}

void log_message(unsigned level, const char *format, ...) {
    // errno belongs to the caller's failure; keep it before anything here touches it.
    int saved_errno = errno;
    if (!log_stream) {
        log_stream = stdout;
    }
    bool write = level <= LOG_LEVEL_ERROR && (level != LOG_LEVEL_DEBUG || log_verbose == 1);
    if (write) {
        char message[kMessageSize];
        va_list args;
        va_start(args, format);
        vsnprintf(message, sizeof(message), format, args);
        va_end(args);

        char time_text[64];
        current_time_text(time_text, sizeof(time_text));
        if (level == LOG_LEVEL_ERROR) {
            fprintf(log_stream, "%s%s [%s][errno=%d]: %s\n", priority_prefix(level), time_text,
                    kLevelNames[level], saved_errno, message);
            // Nothing else is cleaned up: the pipelines' threads may still be running.
            fflush(nullptr);
            _exit(1);
        }
        fprintf(log_stream, "%s%s [%s]: %s\n", priority_prefix(level), time_text,
                kLevelNames[level], message);
    }
    fflush(log_stream);
}
