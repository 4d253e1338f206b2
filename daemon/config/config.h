// The settings record and its key=value file. The table `parse_table` binds each key to its
// field and drives reading, writing back and the "print_config" reply.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>

struct GlobalConfig {
    std::string socket_file;
    std::string video_ready_file;
    std::string qml_file;
    std::string media_path;
    std::string kbd_device;
    int luminance;
    int pip_mode;
    int video_width;
    int video_height;
    int record_enc_bitrate;
    int record_enc_gop;
    int record_enc_idr;
    int record_enc_search_range;
    int stream_enc_bitrate;
    int stream_enc_gop;
    int stream_enc_idr;
    int stream_enc_search_range;
    int tcp_stream_port;
    std::string http_url;
    int reticle;
    double origin_x;
    double origin_y;
    std::string acc_dev;
    std::string acc_settings;
    int acc_frequency;
    int reticle_source;
    int reticle_color;
    double reticle_opacity;
    int red_dot;
    int nuc_type;
    int enc_type;
    int mic_volume;
    int aud_enc_bitrate;
    int record_max_len;
    // Not a key: never read from the file nor written back.
    std::string redis_socket;
};

extern GlobalConfig global_config;

// The built-in defaults (fixed paths resolved for the host sysroot when one is set).
GlobalConfig cfg_default_config();

// Type codes of the table: the index of the field reference's alternative.
enum ConfigType { CFG_INT = 0, CFG_STRING = 1, CFG_DOUBLE = 2 };
using ConfigField =
    std::variant<int GlobalConfig::*, std::string GlobalConfig::*, double GlobalConfig::*>;
struct ConfigEntry {
    const char *key;
    ConfigField field;
};
constexpr int CFG_KEY_COUNT = 34;
extern const ConfigEntry parse_table[CFG_KEY_COUNT];

// Reads `path` into global_config: 0 when at least one key=value pair was found, else 1.
int cfg_read_config(const char *path);
// One "key=value" line per key in table order.
std::string cfg_serialize_global_config();
// Writes the settings to `path` (to the file it links to, when it is a symbolic link) so that
// a power cut leaves either the old or the new file; where the folder takes no temporary file,
// the file is overwritten in place after a warning. 0, or 1 when the file cannot be written.
int cfg_write_config_file(const char *path);
// The same with a text serialised before: the part that waits on storage, for the worker.
int cfg_write_config_text(const char *path, const std::string &text);
// Serialises the settings now and has the storage worker write them to `path`. Writes keep
// their order and merge: while one is queued or running, a later call replaces the text it
// will write next, so the last settings handed over always reach the file.
void cfg_write_back(const std::string &path);
// Releases the pairs of the last file read.
void cfg_clean();

// Folder of the configuration files: "/etc/mrvdc.conf" is both the default read path and the
// fixed write-back path.
constexpr const char *CFG_DEFAULT_PATH = "/etc/mrvdc.conf";
