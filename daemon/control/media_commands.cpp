#include "control/media_commands.h"

#include <unistd.h>

#include <cstdlib>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "core/daemon_state.h"
#include "core/event_aggregator.h"
#include "core/files.h"
#include "core/log.h"
#include "core/sysroot.h"
#include "video/empty_fragments.h"
#include "video/gstvideo.h"
#include "video/recording_end.h"

namespace {

std::string media_folder(const char *kind) {
    return concatenate_strings({global_config.media_path, kind});
}

// Taken while its first fragment exists, or while the end of a recording of that name still
// has to remove the empty ones.
bool name_taken(const std::string &location) {
    return access(fragment_path(location, 0).c_str(), F_OK) == 0 || recording_ending(location);
}

// The split sink's location pattern of a new recording, or none while the name of this second
// is taken: one started within the same second as the one before it would take its name and
// overwrite its files, so the start asks again until the next second.
std::optional<std::string> record_location(const std::string &folder, const char *prefix) {
    std::optional<std::string> timestamp = get_timestamp_string();
    if (!timestamp) {
        return std::nullopt;
    }
    std::string location =
        fragment_pattern(concatenate_strings({folder, prefix, *timestamp, "_"}), ".mp4");
    if (name_taken(location)) {
        return std::nullopt;
    }
    recording_named(location);
    return location;
}

}  // namespace

void ac_start_stop_record(int start, Completion done) {
    if (!start) {
        done(gstvideo_stop_record());
        return;
    }
    const char *prefix = global_config.enc_type == 2 ? "audio_" : "video_";
    std::string folder = media_folder("/video/");
    create_folder(folder.c_str());
    if (has_enough_space(global_config.media_path.c_str(), kRecordFreeSpace) == 0) {
        log_message(LOG_LEVEL_WARN, "Record: not enough space");
        done(1);
        return;
    }
    gstvideo_start_record([folder, prefix] { return record_location(folder, prefix); },
                          std::move(done));
}

void ac_start_stop_stream(int start, Completion done) {
    if (!start) {
        done(gstvideo_stop_stream());
        return;
    }
    gstvideo_start_stream(global_config.tcp_stream_port, std::move(done));
}

void ac_start_stop_http_stream(int start, Completion done) {
    if (!start) {
        done(gstvideo_stop_http_stream());
        return;
    }
    gstvideo_start_http_stream(global_config.http_url, std::move(done));
}

void ac_make_snapshot(Completion done) {
    std::optional<std::string> timestamp = get_timestamp_string();
    if (!timestamp) {
        done(1);
        return;
    }
    log_message(LOG_LEVEL_DEBUG, "timestamp: %s", timestamp->c_str());
    std::string folder = media_folder("/image/");
    create_folder(folder.c_str());
    if (has_enough_space(global_config.media_path.c_str(), kSnapshotFreeSpace) == 0) {
        log_message(LOG_LEVEL_WARN, "Snapshot: not enough space");
        done(1);
        return;
    }
    std::string path = concatenate_strings({folder, "img_", *timestamp, ".jpeg"});
    log_message(LOG_LEVEL_DEBUG, "make snapshot: %s", path.c_str());
    gstvideo_takesnapshot(path, std::move(done));
}

int ac_set_enc_type(int type) {
    if (type < 0 || type > 2) {
        return 1;
    }
    if (type == global_config.enc_type) {
        return 0;
    }
    int result = gstvideo_change_enc_type(type);
    if (result == 0) {
        global_config.enc_type = type;
        update_conf_file = 1;
    }
    return result;
}

int ac_set_microphone_volume(int volume) {
    if (volume == global_config.mic_volume) {
        return 0;
    }
    int result = gstvideo_set_microphone_volume(volume);
    if (result == 0) {
        global_config.mic_volume = volume;
        update_conf_file = 1;
    }
    return result;
}

namespace {

// Pipeline diagrams go where GStreamer's own convention says when it is set (a service whose
// home is closed to it names a folder of its own), else to root's home.
std::string dot_folder() {
    const char *folder = getenv("GST_DEBUG_DUMP_DOT_DIR");
    if (folder && *folder) {
        return concatenate_strings({folder, "/"});
    }
    return sysroot_path("/home/root/");
}

}  // namespace

int ac_generate_dot_file() {
    std::string folder = dot_folder();
    for (int id = 0; id < PIPE_COUNT; ++id) {
        std::optional<std::string> timestamp = get_timestamp_string();
        if (!timestamp) {
            return 1;
        }
        std::string path =
            concatenate_strings({folder, gstvideo_pipe_short_name(id), "_", *timestamp, ".dot"});
        gstvideo_generate_dot_file(id, path.c_str());
    }
    return 0;
}
