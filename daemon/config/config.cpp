#include "config/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "core/log.h"
#include "core/storage_worker.h"
#include "core/sysroot.h"
#include "core/unique_fd.h"

GlobalConfig cfg_default_config() {
    GlobalConfig c;
    c.socket_file = sysroot_path("/run/mrvdc.socket");
    c.video_ready_file = sysroot_path("/var/run/video_playing");
    c.qml_file = sysroot_path("/opt/us/osd_us/qml/main.qml");
    c.media_path = sysroot_path("/media/");
    c.kbd_device = sysroot_path("/dev/input/event1");
    c.luminance = 0;
    c.pip_mode = 0;
    c.video_width = 1024;
    c.video_height = 768;
    c.record_enc_bitrate = 1024;
    c.record_enc_gop = 15;
    c.record_enc_idr = 15;
    c.record_enc_search_range = 3;
    c.stream_enc_bitrate = 1536;
    c.stream_enc_gop = 1;
    c.stream_enc_idr = 120;
    c.stream_enc_search_range = 0;
    c.tcp_stream_port = 1235;
    c.http_url = "http://127.0.0.1:1234/upload/channel";
    c.reticle = 1;
    c.origin_x = 512.0;
    c.origin_y = 384.0;
    c.acc_dev = sysroot_path("/dev/iio:device1");
    c.acc_settings = sysroot_path("/sys/bus/i2c/drivers/st-accel-i2c/2-0018/iio:device1/");
    c.acc_frequency = 1;
    c.reticle_source = 0;
    c.reticle_color = 0;
    c.reticle_opacity = 1.0;
    c.red_dot = 1;
    c.nuc_type = 1;
    c.enc_type = 0;
    c.mic_volume = 100;
    c.aud_enc_bitrate = 96;
    c.record_max_len = 300;
    c.redis_socket = sysroot_path("/run/redis.sock");
    return c;
}

GlobalConfig global_config = cfg_default_config();

const ConfigEntry parse_table[CFG_KEY_COUNT] = {
    {"socket_file", &GlobalConfig::socket_file},
    {"video_ready_file", &GlobalConfig::video_ready_file},
    {"qml_file", &GlobalConfig::qml_file},
    {"media_path", &GlobalConfig::media_path},
    {"kbd_device", &GlobalConfig::kbd_device},
    {"luminance", &GlobalConfig::luminance},
    {"pip_mode", &GlobalConfig::pip_mode},
    {"video_width", &GlobalConfig::video_width},
    {"video_height", &GlobalConfig::video_height},
    {"record_enc_bitrate", &GlobalConfig::record_enc_bitrate},
    {"record_enc_gop", &GlobalConfig::record_enc_gop},
    {"record_enc_idr", &GlobalConfig::record_enc_idr},
    {"record_enc_search_range", &GlobalConfig::record_enc_search_range},
    {"stream_enc_bitrate", &GlobalConfig::stream_enc_bitrate},
    {"stream_enc_gop", &GlobalConfig::stream_enc_gop},
    {"stream_enc_idr", &GlobalConfig::stream_enc_idr},
    {"stream_enc_search_range", &GlobalConfig::stream_enc_search_range},
    {"tcp_stream_port", &GlobalConfig::tcp_stream_port},
    {"http_url", &GlobalConfig::http_url},
    {"reticle", &GlobalConfig::reticle},
    {"origin_x", &GlobalConfig::origin_x},
    {"origin_y", &GlobalConfig::origin_y},
    {"acc_dev", &GlobalConfig::acc_dev},
    {"acc_settings", &GlobalConfig::acc_settings},
    {"acc_frequency", &GlobalConfig::acc_frequency},
    {"reticle_source", &GlobalConfig::reticle_source},
    {"reticle_color", &GlobalConfig::reticle_color},
    {"reticle_opacity", &GlobalConfig::reticle_opacity},
    {"red_dot", &GlobalConfig::red_dot},
    {"nuc_type", &GlobalConfig::nuc_type},
    {"enc_type", &GlobalConfig::enc_type},
    {"mic_volume", &GlobalConfig::mic_volume},
    {"aud_enc_bitrate", &GlobalConfig::aud_enc_bitrate},
    {"record_max_len", &GlobalConfig::record_max_len},
};

namespace {

// The pairs of the last file read, in file order.
std::vector<std::pair<std::string, std::string>> raw_table;

struct FileCloser {
    void operator()(FILE *file) const { fclose(file); }
};

std::optional<std::string> read_config_text(const char *path) {
    std::unique_ptr<FILE, FileCloser> file(fopen(path, "r+e"));
    if (!file || fseek(file.get(), 0, SEEK_END) != 0) {
        return std::nullopt;
    }
    long length = ftell(file.get());
    if (length < 2 || fseek(file.get(), 0, SEEK_SET) != 0) {
        return std::nullopt;
    }
    std::string text(static_cast<size_t>(length), '\0');
    if (fread(text.data(), 1, text.size(), file.get()) != text.size()) {
        return std::nullopt;
    }
    return text;
}

// Cuts the text into key/value pairs. Only newline-ended lines count; nothing is trimmed.
void parse_pairs(const std::string &text, const char *path) {
    size_t start = 0;
    int number = 0;
    for (size_t end = text.find('\n'); end != std::string::npos;
         start = end + 1, end = text.find('\n', start)) {
        ++number;
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line[0] == '#') {
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            log_message(LOG_LEVEL_WARN, "Malformed line %d:%s of file %s\n", number, line.c_str(),
                        path);
            continue;
        }
        raw_table.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
}

const ConfigEntry *find_entry(const std::string &key) {
    for (const ConfigEntry &entry : parse_table) {
        if (key == entry.key) {
            return &entry;
        }
    }
    return nullptr;
}

// Stores the value in the entry's field. Numbers keep their leading part; false when
// characters follow the number.
bool apply_value(const ConfigEntry &entry, const std::string &value) {
    char *rest = nullptr;
    switch (entry.field.index()) {
        case CFG_INT:
            global_config.*std::get<CFG_INT>(entry.field) =
                static_cast<int>(strtol(value.c_str(), &rest, 10));
            return *rest == '\0';
        case CFG_STRING:
            global_config.*std::get<CFG_STRING>(entry.field) = value;
            return true;
        default:
            global_config.*std::get<CFG_DOUBLE>(entry.field) = strtod(value.c_str(), &rest);
            return *rest == '\0';
    }
}

// "%.2f" of the value, whole however long it is (a large double has hundreds of digits).
std::string two_decimals(double value) {
    int length = snprintf(nullptr, 0, "%.2f", value);
    std::vector<char> number(static_cast<size_t>(length) + 1);
    snprintf(number.data(), number.size(), "%.2f", value);
    return std::string(number.data(), static_cast<size_t>(length));
}

// Writes all of `text` to `fd`, retrying short writes.
bool write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t count = write(fd, text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        done += static_cast<size_t>(count);
    }
    return true;
}

std::string folder_of(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

mode_t mode_for(const char *path) {
    struct stat info {};
    if (stat(path, &info) == 0) {
        return info.st_mode & 07777;
    }
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// The file `path` names once symbolic links are followed, also when it does not exist yet: a
// settings file kept on a data partition behind a link is replaced where it lives, and the
// link stays.
std::string link_target(const std::string &path) {
    constexpr int kMaxLinks = 40;
    std::string current = path;
    for (int followed = 0; followed < kMaxLinks; ++followed) {
        struct stat info {};
        if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            break;
        }
        std::string target(PATH_MAX, '\0');
        ssize_t length = readlink(current.c_str(), target.data(), target.size());
        if (length <= 0) {
            break;
        }
        target.resize(static_cast<size_t>(length));
        current = target[0] == '/' ? target : folder_of(current) + "/" + target;
    }
    return current;
}

// For a folder where no temporary file can be made: overwrites the file itself and forces it
// to storage. A power cut in the middle can leave it half-written, hence only the fallback.
bool write_in_place(const std::string &path, const std::string &text) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    bool written = fd.valid() && write_all(fd.get(), text) &&
                   ftruncate(fd.get(), static_cast<off_t>(text.size())) == 0 &&
                   fsync(fd.get()) == 0;
    return fd.reset() == 0 && written;
}

}  // namespace

int cfg_read_config(const char *path) {
    cfg_clean();
    if (std::optional<std::string> text = read_config_text(path)) {
        parse_pairs(*text, path);
    }
    if (raw_table.empty()) {
        log_message(LOG_LEVEL_WARN, "Failed to find any configuration keys in %s", path);
        cfg_clean();
        return 1;
    }
    for (const auto &[key, value] : raw_table) {
        log_message(LOG_LEVEL_INFO, "Key: %s, Value:%s", key.c_str(), value.c_str());
        const ConfigEntry *entry = find_entry(key);
        if (!entry || !apply_value(*entry, value)) {
            log_message(LOG_LEVEL_WARN, "Failed to parse <%s>", key.c_str());
        }
    }
    return 0;
}

std::string cfg_serialize_global_config() {
    std::string text;
    text.reserve(2176);
    char line[64];
    for (const ConfigEntry &entry : parse_table) {
        text += entry.key;
        text += '=';
        switch (entry.field.index()) {
            case CFG_INT:
                snprintf(line, sizeof(line), "%d", global_config.*std::get<CFG_INT>(entry.field));
                text += line;
                break;
            case CFG_STRING:
                text += global_config.*std::get<CFG_STRING>(entry.field);
                break;
            default:
                text += two_decimals(global_config.*std::get<CFG_DOUBLE>(entry.field));
                break;
        }
        text += '\n';
    }
    return text;
}

int cfg_write_config_file(const char *path) {
    return cfg_write_config_text(path, cfg_serialize_global_config());
}

int cfg_write_config_text(const char *path, const std::string &text) {
    std::string target = link_target(path);
    // The new text goes to a temporary file in the same folder that replaces the old file in
    // one rename once it is on storage, so a power cut never leaves a half-written file.
    std::string temporary = target + ".XXXXXX";
    UniqueFd fd(mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid()) {
        log_message(LOG_LEVEL_WARN,
                    "Cannot create a temporary file next to %s (%s): writing it in place",
                    target.c_str(), strerror(errno));
        return write_in_place(target, text) ? 0 : 1;
    }
    bool written = fchmod(fd.get(), mode_for(target.c_str())) == 0 && write_all(fd.get(), text) &&
                   fsync(fd.get()) == 0;
    if (fd.reset() != 0 || !written || rename(temporary.c_str(), target.c_str()) != 0) {
        unlink(temporary.c_str());
        return 1;
    }
    UniqueFd folder(open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) {
        fsync(folder.get());
    }
    return 0;
}

namespace {

// The write-back's hand-over between the main thread and the storage worker: the newest text
// not yet taken, and whether a job that will take it is queued or running.
std::mutex write_back_mutex;
std::optional<std::string> write_back_text;
bool write_back_queued = false;

// On the worker: writes until no newer text is waiting, so the last one handed over is the
// last one written.
int write_back_job(const std::string &path) {
    for (;;) {
        std::optional<std::string> text;
        {
            std::lock_guard<std::mutex> lock(write_back_mutex);
            if (!write_back_text) {
                write_back_queued = false;
                return 0;
            }
            text = std::exchange(write_back_text, std::nullopt);
        }
        auto start = std::chrono::steady_clock::now();
        cfg_write_config_text(path.c_str(), *text);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        log_message(LOG_LEVEL_INFO, "Config write takes : %fs", took.count());
    }
}

}  // namespace

void cfg_write_back(const std::string &path) {
    std::string text = cfg_serialize_global_config();
    std::lock_guard<std::mutex> lock(write_back_mutex);
    write_back_text = std::move(text);
    if (!write_back_queued) {
        write_back_queued = true;
        storage_run([path] { return write_back_job(path); });
    }
}

void cfg_clean() {
    raw_table.clear();
}
