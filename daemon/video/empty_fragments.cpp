#include "video/empty_fragments.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/unique_fd.h"

namespace {

constexpr const char *kNumberField = "%02d";

uint64_t big_endian(const unsigned char *bytes, int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

std::string fragment_path(const std::string &location, size_t field, int number) {
    char digits[16];
    snprintf(digits, sizeof(digits), "%02d", number);
    return location.substr(0, field) + digits + location.substr(field + strlen(kNumberField));
}

}  // namespace

bool fragment_has_media(const std::string &path) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || fstat(fd.get(), &info) != 0) {
        return true;
    }
    const uint64_t file_size = static_cast<uint64_t>(info.st_size);
    uint64_t offset = 0;
    while (offset + 8 <= file_size) {
        unsigned char header[16];
        if (pread(fd.get(), header, sizeof(header), static_cast<off_t>(offset)) < 8) {
            return true;
        }
        uint64_t size = big_endian(header, 4);
        uint64_t header_size = 8;
        if (size == 1) {
            if (offset + 16 > file_size) {
                return true;
            }
            size = big_endian(header + 8, 8);
            header_size = 16;
        } else if (size == 0) {
            size = file_size - offset;  // the last box, up to the end of the file
        }
        if (size < header_size) {
            return true;
        }
        if (memcmp(header + 4, "mdat", 4) == 0 && size > header_size) {
            return true;
        }
        offset += size;
    }
    // Bytes after the last whole box are not understood: keep the file.
    return offset != file_size;
}

void remove_empty_fragments(const std::string &location) {
    size_t field = location.rfind(kNumberField);
    if (field == std::string::npos) {
        return;
    }
    for (int number = 0; number < 100; ++number) {
        std::string path = fragment_path(location, field, number);
        if (access(path.c_str(), F_OK) != 0) {
            break;
        }
        bool has_media = fragment_has_media(path);
        log_message(LOG_LEVEL_DEBUG, "Recording fragment %s %s", path.c_str(),
                    has_media ? "has media" : "has no media");
        if (!has_media && unlink(path.c_str()) == 0) {
            log_message(LOG_LEVEL_WARN, "Removed recording fragment without media: %s",
                        path.c_str());
        }
    }
}
