#include "core/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/log.h"
#include "core/sysroot.h"
#include "core/unique_fd.h"

namespace {

constexpr const char *kHdmiCableNode = "/sys/devices/soc0/soc/20e0000.hdmi_video/cable_state";

struct FileCloser {
    void operator()(FILE *file) const { fclose(file); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

}  // namespace

int touch_file(const char *path) {
    UniqueFd fd(open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0444));
    return fd.get() > 0 ? 0 : -1;
}

int is_file_created(const char *path) {
    return access(path, F_OK) == 0 ? 1 : 0;
}

int is_hdmi_connected() {
    return is_file_created(sysroot_path(kHdmiCableNode).c_str());
}

std::optional<std::string> get_timestamp_string() {
    time_t now = time(nullptr);
    struct tm local {};
    if (!localtime_r(&now, &local)) {
        return std::nullopt;
    }
    char text[32];
    int length =
        snprintf(text, sizeof(text), "%04d%02d%02d%02d%02d%02d", local.tm_year + 1900,
                 local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    if (length < 1 || length > 14) {
        return std::nullopt;
    }
    return std::string(text, length);
}

std::optional<std::string> read_full_file(const char *path) {
    UniqueFile file(fopen(path, "rbe"));
    if (!file) {
        return std::nullopt;
    }
    std::string contents;
    char chunk[4096];
    size_t count;
    while ((count = fread(chunk, 1, sizeof(chunk), file.get())) > 0) {
        contents.append(chunk, count);
    }
    return contents;
}

int write_full_file(const char *path, const char *text) {
    UniqueFile file(fopen(path, "we"));
    if (!file) {
        return 1;
    }
    size_t length = strlen(text);
    size_t written = fwrite(text, 1, length, file.get());
    // Sysfs stores report their failure when the buffer reaches the attribute, at flush.
    int flushed = fflush(file.get());
    return written < length || flushed != 0 ? -1 : 0;
}

int flush_file(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    log_message(LOG_LEVEL_DEBUG, "flushing: %s", path);
    fsync(fd);
    return close(fd);
}

int create_folder(const char *path) {
    struct stat info {};
    if (stat(path, &info) != 0) {
        return mkdir(path, 0777);
    }
    return 0;
}

std::string concatenate_strings(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) {
        text += part;
    }
    return text;
}

int get_free_space(const char *path, uint64_t *out) {
    struct statvfs info {};
    if (statvfs(path, &info) != 0) {
        log_message(LOG_LEVEL_WARN, "Failed to query the system for the remaing space in %s", path);
        return 1;
    }
    *out = static_cast<uint64_t>(info.f_frsize) * static_cast<uint64_t>(info.f_bfree);
    log_message(LOG_LEVEL_DEBUG, "Free space is %llu", static_cast<unsigned long long>(*out));
    return 0;
}

int has_enough_space(const char *path, uint64_t required) {
    uint64_t free_bytes = 0;
    if (get_free_space(path, &free_bytes) != 0) {
        return 0;
    }
    if (free_bytes >= required) {
        return 1;
    }
    log_message(LOG_LEVEL_WARN, "not enough bytes, asking for %llu, but have %llu",
                static_cast<unsigned long long>(required),
                static_cast<unsigned long long>(free_bytes));
    return 0;
}
