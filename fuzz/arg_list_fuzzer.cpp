// Fuzzes the argument splitter of list commands against a second, independently written
// splitter that builds the arguments as new strings instead of cutting the text in place.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/control_socket.h"
#include "core/log.h"
#include "fuzz_check.h"
#include "protocol/ipc_message.h"

namespace {

// Arguments are separated by ','; "\," is a comma inside an argument (the backslash goes); the
// first character of an argument is taken as it is, even a ','.
std::vector<std::string> expected_arguments(const std::string &text) {
    std::vector<std::string> args(1);
    size_t index = 0;
    if (!text.empty()) {
        args.back() += text[index++];
    }
    while (index < text.size()) {
        char c = text[index++];
        if (c != ',') {
            args.back() += c;
        } else if (args.back().back() == '\\') {
            args.back().back() = ',';
        } else {
            args.emplace_back();
            if (index < text.size()) {
                args.back() += text[index++];
            }
        }
    }
    return args;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_open("/dev/null");
    log_verbose = 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    std::string text(reinterpret_cast<const char *>(bytes), std::min(size, SOCKET_RECV_SIZE - 1));
    text.resize(strlen(text.c_str()));
    std::vector<std::string> expected = expected_arguments(text);

    // Exactly the text and its terminator, so a write or read past them is caught.
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    const char *end = buffer.data() + buffer.size();

    std::optional<std::vector<char *>> args = split_arg_list(buffer.data());
    if (expected.size() > static_cast<size_t>(IPC_MAX_ARGS)) {
        FUZZ_CHECK(!args.has_value());
        return 0;
    }
    FUZZ_CHECK(args.has_value());
    FUZZ_CHECK(args->size() == expected.size());
    FUZZ_CHECK((*args)[0] == buffer.data());
    for (size_t index = 0; index < args->size(); ++index) {
        char *arg = (*args)[index];
        // Arguments stay inside the text, in order, each ending before the next begins.
        FUZZ_CHECK(arg >= buffer.data() && arg < end);
        size_t length = strnlen(arg, static_cast<size_t>(end - arg));
        FUZZ_CHECK(arg + length < end);
        if (index + 1 < args->size()) {
            FUZZ_CHECK(arg + length < (*args)[index + 1]);
        }
        FUZZ_CHECK(std::string(arg, length) == expected[index]);
    }
    return 0;
}
