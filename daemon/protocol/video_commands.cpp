// Commands of the video subsystem and the media operations.
#include "control/media_commands.h"
#include "protocol/command_args.h"
#include "protocol/command_handlers.h"
#include "protocol/commands.h"
#include "protocol/ipc_message.h"
#include "video/gstvideo.h"

namespace {

constexpr const char *kCommandFailed = "Failed when executing command.";

}  // namespace

int user_cmd_set_qml_prop(char *data, std::optional<std::string> &out) {
    std::optional<std::vector<char *>> args = split_arg_list(data);
    if (!args || args->size() != 3) {
        out = INVALID_ARGUMENT_COUNT;
        return 1;
    }
    if (gstvideo_set_qml_param((*args)[0], (*args)[1], (*args)[2]) != 0) {
        out = kCommandFailed;
        return 1;
    }
    return 0;
}

int user_cmd_enable_qml(char *data, std::optional<std::string> &out) {
    if (gstvideo_show_overlay(leading_int(data)) != 0) {
        out = kCommandFailed;
        return 1;
    }
    return 0;
}

int user_cmd_enable_record(char *data, std::optional<std::string> &) {
    ac_start_stop_record(leading_flag(data), reply_later());
    return 0;
}

int user_cmd_make_snapshot(char *, std::optional<std::string> &) {
    ac_make_snapshot(reply_later());
    return 0;
}

int user_cmd_enable_tcp_stream(char *data, std::optional<std::string> &) {
    ac_start_stop_stream(leading_flag(data), reply_later());
    return 0;
}

int user_cmd_enable_http_stream(char *data, std::optional<std::string> &) {
    ac_start_stop_http_stream(leading_flag(data), reply_later());
    return 0;
}

int user_cmd_set_enc_type(char *data, std::optional<std::string> &) {
    return ac_set_enc_type(leading_int(data));
}

int user_cmd_set_mic_volume(char *data, std::optional<std::string> &) {
    return ac_set_microphone_volume(leading_int(data));
}

int user_cmd_pipeline_state(char *, std::optional<std::string> &) {
    gstvideo_print_status();
    return 0;
}

int user_cmd_create_dot(char *, std::optional<std::string> &) {
    return ac_generate_dot_file();
}

int user_cmd_create_pipe(char *data, std::optional<std::string> &) {
    gstvideo_start_pipe(leading_int(data), reply_later());
    return 0;
}

int user_cmd_kill_pipe(char *data, std::optional<std::string> &) {
    return gstvideo_stop_pipe(leading_int(data));
}

int user_cmd_pause_pipe(char *data, std::optional<std::string> &) {
    gstvideo_pause_pipe(leading_int(data), reply_later());
    return 0;
}

int user_cmd_resume_pipe(char *data, std::optional<std::string> &) {
    gstvideo_resume_pipe(leading_int(data), reply_later());
    return 0;
}

int user_cmd_pause_video(char *, std::optional<std::string> &) {
    gstvideo_pause_all_pipes(reply_later());
    return 0;
}

int user_cmd_resume_video(char *, std::optional<std::string> &) {
    gstvideo_resume_all_pipes(reply_later());
    return 0;
}
