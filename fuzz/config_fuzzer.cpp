// Fuzzes the configuration reader with arbitrary file contents. After any file the settings
// text still has its 34 lines in table order with well-formed numbers, settings the file does not
// name keep their defaults, the last occurrence of a key wins, and the written text reads back to
// the same settings.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "config/config.h"
#include "core/log.h"
#include "fuzz_check.h"

namespace {

enum Kind { INT, STRING, DOUBLE };

struct Key {
    const char *name;
    Kind kind;
};

// The file's keys in the order of the written file.
const Key kKeys[] = {
    {"socket_file", STRING},
    {"video_ready_file", STRING},
    {"qml_file", STRING},
    {"media_path", STRING},
    {"kbd_device", STRING},
    {"luminance", INT},
    {"pip_mode", INT},
    {"video_width", INT},
    {"video_height", INT},
    {"record_enc_bitrate", INT},
    {"record_enc_gop", INT},
    {"record_enc_idr", INT},
    {"record_enc_search_range", INT},
    {"stream_enc_bitrate", INT},
    {"stream_enc_gop", INT},
    {"stream_enc_idr", INT},
    {"stream_enc_search_range", INT},
    {"tcp_stream_port", INT},
    {"http_url", STRING},
    {"reticle", INT},
    {"origin_x", DOUBLE},
    {"origin_y", DOUBLE},
    {"acc_dev", STRING},
    {"acc_settings", STRING},
    {"acc_frequency", INT},
    {"reticle_source", INT},
    {"reticle_color", INT},
    {"reticle_opacity", DOUBLE},
    {"red_dot", INT},
    {"nuc_type", INT},
    {"enc_type", INT},
    {"mic_volume", INT},
    {"aud_enc_bitrate", INT},
    {"record_max_len", INT},
};
constexpr size_t kKeyCount = sizeof(kKeys) / sizeof(kKeys[0]);

// The file lives in memory; the reader opens it by its /proc path like any other file.
int file_fd = -1;
std::string file_path;
std::vector<std::string> default_lines;

void replace_file(const std::string &contents) {
    FUZZ_CHECK(ftruncate(file_fd, 0) == 0);
    size_t done = 0;
    while (done < contents.size()) {
        ssize_t count = pwrite(file_fd, contents.data() + done, contents.size() - done,
                               static_cast<off_t>(done));
        FUZZ_CHECK(count > 0 || (count < 0 && errno == EINTR));
        done += count > 0 ? static_cast<size_t>(count) : 0;
    }
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos;
         start = end + 1, end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
    }
    FUZZ_CHECK(start == text.size());  // the text ends with a newline
    return lines;
}

bool all_digits(const std::string &text, size_t from, size_t to) {
    return from < to &&
           std::all_of(text.begin() + static_cast<long>(from), text.begin() + static_cast<long>(to),
                       [](char c) { return isdigit(static_cast<unsigned char>(c)); });
}

bool is_int_text(const std::string &value) {
    size_t digits = !value.empty() && value[0] == '-' ? 1 : 0;
    return all_digits(value, digits, value.size()) && value.size() - digits <= 10;
}

// Two decimals, the whole number written out.
bool is_double_text(const std::string &value) {
    if (value == "inf" || value == "-inf" || value == "nan" || value == "-nan") {
        return true;
    }
    size_t digits = !value.empty() && value[0] == '-' ? 1 : 0;
    size_t point = value.size() >= 3 ? value.size() - 3 : 0;
    return point > digits && value[point] == '.' && all_digits(value, digits, point) &&
           all_digits(value, point + 1, value.size());
}

// The key/value pairs of a file as the reader must see them: newline-ended lines, '#'
// comments skipped, key up to the first '=', nothing trimmed. Later pairs win.
bool expected_pairs(const std::string &contents, std::map<std::string, std::string> &last) {
    bool any = false;
    size_t start = 0;
    for (size_t end = contents.find('\n'); end != std::string::npos;
         start = end + 1, end = contents.find('\n', start)) {
        std::string line = contents.substr(start, end - start);
        size_t equals = line.find('=');
        if ((!line.empty() && line[0] == '#') || equals == std::string::npos) {
            continue;
        }
        any = true;
        last[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return any && contents.size() >= 2;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Malformed lines and bad numbers are warnings; they go nowhere so the run stays quiet.
    log_open("/dev/null");
    file_fd = memfd_create("mrvdc-config", 0);
    FUZZ_CHECK(file_fd >= 0);
    file_path = "/proc/self/fd/" + std::to_string(file_fd);
    global_config = cfg_default_config();
    default_lines = lines_of(cfg_serialize_global_config());
    FUZZ_CHECK(default_lines.size() == kKeyCount);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    std::string contents(reinterpret_cast<const char *>(bytes), size);
    std::map<std::string, std::string> last;
    bool has_pairs = expected_pairs(contents, last);

    global_config = cfg_default_config();
    replace_file(contents);
    FUZZ_CHECK(cfg_read_config(file_path.c_str()) == (has_pairs ? 0 : 1));

    std::string text = cfg_serialize_global_config();
    std::vector<std::string> lines = lines_of(text);
    FUZZ_CHECK(lines.size() == kKeyCount);
    for (size_t index = 0; index < kKeyCount; ++index) {
        const Key &key = kKeys[index];
        std::string prefix = std::string(key.name) + '=';
        FUZZ_CHECK(lines[index].compare(0, prefix.size(), prefix) == 0);
        std::string value = lines[index].substr(prefix.size());
        auto named = has_pairs ? last.find(key.name) : last.end();
        if (named == last.end()) {
            FUZZ_CHECK(lines[index] == default_lines[index]);
        } else if (key.kind == STRING) {
            FUZZ_CHECK(value == named->second);
        }
        if (key.kind == INT) {
            FUZZ_CHECK(is_int_text(value));
        } else if (key.kind == DOUBLE) {
            FUZZ_CHECK(is_double_text(value));
        }
    }

    // What is written back reads back to the same settings.
    global_config = cfg_default_config();
    replace_file(text);
    FUZZ_CHECK(cfg_read_config(file_path.c_str()) == 0);
    FUZZ_CHECK(cfg_serialize_global_config() == text);
    cfg_clean();
    return 0;
}
