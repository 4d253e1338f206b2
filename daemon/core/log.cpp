#include "core/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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

}  // namespace

void log_open(const char *path) {
    log_stream = path ? fopen(path, "a+e") : nullptr;
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
            fprintf(log_stream, "%s [%s][errno=%d]: %s\n", time_text, kLevelNames[level],
                    saved_errno, message);
            // Nothing else is cleaned up: the pipelines' threads may still be running.
            fflush(nullptr);
            _exit(1);
        }
        fprintf(log_stream, "%s [%s]: %s\n", time_text, kLevelNames[level], message);
    }
    fflush(log_stream);
}
