// Levelled log of the daemon. An error-level message is the abort path: it is written and the
// process ends with status 1 at once.
#pragma once

enum LogLevel : unsigned {
    LOG_LEVEL_DEBUG = 0,
    LOG_LEVEL_INFO = 1,
    LOG_LEVEL_WARN = 2,
    LOG_LEVEL_ERROR = 3,
};

// Set by -v: debug messages are written only while it is 1.
extern int log_verbose;

// Appends to `path` (created if missing); standard output when `path` is null or unusable.
void log_open(const char *path);
// Closes a log file; standard output is left open.
void log_close();
// Writes one line "<ctime> [LEVEL]: message" and flushes; at LOG_LEVEL_ERROR exits with status 1.
void log_message(unsigned level, const char *format, ...) __attribute__((format(printf, 2, 3)));
