// Conversion of command data: the leading number of the text counts, anything after it is
// ignored, and a text without a number gives 0.
#pragma once

#include <cerrno>
#include <climits>
#include <cstdlib>

// Reply of a list command that received the wrong number of arguments.
constexpr const char *INVALID_ARGUMENT_COUNT = "Invalid argument count";

inline int leading_int(const char *text) {
    long value = strtol(text, nullptr, 10);
    // Out-of-range numbers saturate instead of wrapping into another valid value.
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

inline double leading_double(const char *text) {
    return strtod(text, nullptr);
}

// A flag: every non-zero number is 1.
inline int leading_flag(const char *text) {
    return leading_int(text) != 0 ? 1 : 0;
}
