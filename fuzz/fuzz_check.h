// Checks inside the fuzz targets: a failed check aborts, so libFuzzer reports it as a crash
// and keeps the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzz_check_failed(const char *condition, const char *file, int line) {
    fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    abort();
}

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : fuzz_check_failed(#condition, __FILE__, __LINE__))
