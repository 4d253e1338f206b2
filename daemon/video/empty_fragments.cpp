#include "video/empty_fragments.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "core/log.h"
#include "core/unique_fd.h"

namespace {

constexpr const char *kNumberField = "%02d";
// A track with a single sample does not play: a sound decoder needs more than one frame.
constexpr uint64_t kFewestSamples = 2;

uint64_t big_endian(const unsigned char *bytes, int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

struct Box {
    char type[4];
    uint64_t offset;  // of its content
    uint64_t end;
};

// The box at `offset`, which must end by `end`; none when its header does not fit there.
std::optional<Box> read_box(int fd, uint64_t offset, uint64_t end) {
    unsigned char header[16];
    if (offset + 8 > end || pread(fd, header, sizeof(header), static_cast<off_t>(offset)) < 8) {
        return std::nullopt;
    }
    uint64_t size = big_endian(header, 4);
    uint64_t header_size = 8;
    if (size == 1) {
        size = offset + 16 <= end ? big_endian(header + 8, 8) : 0;
        header_size = 16;
    } else if (size == 0) {
        size = end - offset;  // the last box, up to the end of its parent
    }
    if (size < header_size || size > end - offset) {
        return std::nullopt;
    }
    Box box{};
    memcpy(box.type, header + 4, 4);
    box.offset = offset + header_size;
    box.end = offset + size;
    return box;
}

bool is(const Box &box, const char *type) {
    return memcmp(box.type, type, 4) == 0;
}

std::optional<Box> child(int fd, const Box &parent, const char *type) {
    for (auto box = read_box(fd, parent.offset, parent.end); box;
         box = read_box(fd, box->end, parent.end)) {
        if (is(*box, type)) {
            return box;
        }
    }
    return std::nullopt;
}

// The number of samples of a track, from its sample size table; none when it has none.
std::optional<uint64_t> sample_count(int fd, const Box &track) {
    std::optional<Box> box = child(fd, track, "mdia");
    for (const char *type : {"minf", "stbl", "stsz"}) {
        if (box) {
            box = child(fd, *box, type);
        }
    }
    unsigned char count[4];
    if (!box || box->offset + 12 > box->end ||
        pread(fd, count, sizeof(count), static_cast<off_t>(box->offset + 8)) != 4) {
        return std::nullopt;
    }
    return big_endian(count, 4);
}

// True unless one of the index's tracks holds too few samples to play.
bool tracks_play(int fd, const Box &index) {
    for (auto box = read_box(fd, index.offset, index.end); box;
         box = read_box(fd, box->end, index.end)) {
        if (is(*box, "trak")) {
            std::optional<uint64_t> samples = sample_count(fd, *box);
            if (samples && *samples < kFewestSamples) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

std::string fragment_pattern(const std::string &name, const char *suffix) {
    std::string pattern;
    for (char c : name) {
        pattern += c == '%' ? "%%" : std::string(1, c);
    }
    return pattern + kNumberField + suffix;
}

std::string fragment_path(const std::string &location, int number) {
    char digits[16];
    snprintf(digits, sizeof(digits), "%02d", number);
    std::string path;
    for (size_t at = 0; at < location.size(); ++at) {
        if (location.compare(at, 2, "%%") == 0) {
            path += '%';
            ++at;
        } else if (location.compare(at, strlen(kNumberField), kNumberField) == 0) {
            path += digits;
            at += strlen(kNumberField) - 1;
        } else {
            path += location[at];
        }
    }
    return path;
}

bool fragment_has_media(const std::string &path) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || fstat(fd.get(), &info) != 0) {
        return true;
    }
    const uint64_t file_size = static_cast<uint64_t>(info.st_size);
    bool has_data = false;
    bool plays = true;
    uint64_t offset = 0;
    while (offset < file_size) {
        std::optional<Box> box = read_box(fd.get(), offset, file_size);
        if (!box) {
            return true;  // bytes that are not understood: keep the file
        }
        has_data = has_data || (is(*box, "mdat") && box->end > box->offset);
        if (is(*box, "moov")) {
            plays = tracks_play(fd.get(), *box);
        }
        offset = box->end;
    }
    return has_data && plays;
}

void remove_empty_fragments(const std::string &location) {
    for (int number = 0; number < 100; ++number) {
        std::string path = fragment_path(location, number);
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
