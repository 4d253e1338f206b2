#include "protocol/commands.h"

#include <cstring>
#include <utility>

#include "core/log.h"
#include "protocol/command_handlers.h"
#include "protocol/ipc_message.h"

const command_entry cmd_list[CMD_LIST_SIZE] = {
    {"set_qml_prop", user_cmd_set_qml_prop,
     "argc:3, separated by ',', in the format <obj-name>,<obj-prop>,<value> - changes a "
     "property in the qml file of the overlay [*]"},
    {"enable_qml", user_cmd_enable_qml,
     "argc:1, int 1/0 - shows/hides the qml overlay from the output [*]"},
    {"enable_video", user_cmd_enable_video,
     "argc:1, int 1/0 - starts/stops the video on the oled display"},
    {"enable_record", user_cmd_enable_record,
     "argc:1, int 1/0 - starts/stops the recording of the output video in the media folder[!] "
     "in forat video_<timestamp>.mpeg"},
    {"make_snapshot", user_cmd_make_snapshot,
     "argc:0, takes a snapshot in the media folder[!] in the format snapshot_<timestamp>.png"},
    {"enable_tcp_stream", user_cmd_enable_tcp_stream,
     "argc:1, int 1/0 - starts/stops the web stream on tcp://<device's-ip>:<stream-port[!]>"},
    {"disable_kbd", user_cmd_disable_kbd,
     "argc:0, stops interpreting the keyboard key-presses and stops interacting with the qml "
     "except of the direct qml command"},
    {"kbd_zoom", user_cmd_kbd_zoom, "argc:0, simulate zoom button press"},
    {"kbd_nuc", user_cmd_kbd_nuc, "argc:0, simulate nuc button press"},
    {"kbd_pol", user_cmd_kbd_pol, "argc:0, simulate pol button press [@]"},
    {"print_config", user_cmd_print_config, "argc:0, prints config file contents"},
    {"enable_pip", user_cmd_enable_pip, "argc:1, 0 - disable pip, 2 - pip x2, 4 - pip x4 [%@]"},
    {"get_lum", user_cmd_get_lum, "argc:0, returns the current lum array index"},
    {"get_pip", user_cmd_get_pip, "argc:0, returns the current pip arary index"},
    {"enable_reticle", user_cmd_enable_reticle, "argc:1, int 1/0, shows/hides the reticle [%@]"},
    {"enable_dot", user_cmd_enable_dot, "argc:1, int 1/0, shows/hides the red dot, [%@]"},
    {"get_reticle", user_cmd_get_reticle, "argc:0, returns the current reticle visibility (1/0)"},
    {"set_origin", user_cmd_set_origin,
     "argc:2, format <x>,<y> [float-numbers], sets the origin of the reticle [%@]"},
    {"get_zoom", user_cmd_get_zoom, "argc:0, returns the current zoom array index"},
    {"set_reticle_src", user_cmd_set_reticle_src,
     "argc:1, int index from the reticle src array, sets the reticle src image [%@]"},
    {"set_reticle_color", user_cmd_set_reticle_color,
     "argc:1, index from the reticle color array, sets the reticle color [%@]"},
    {"set_reticle_opacity", user_cmd_set_reticle_opacity,
     "argc:1, <float> range->[0-1], sets the opacity of the reticle, [%@]"},
    {"set_nuc_type", user_cmd_set_nuc_type,
     "argc:1, index from the nuc type array, sets the current nuc type [%@]"},
    {"set_lum", user_cmd_set_lum,
     "argc:1, index from the luminance array, sets the current luminance [%@]"},
    {"set_enc_type", user_cmd_set_enc_type,
     "argc:1, index from the enc type array, sets the current enc type (cannot be set while "
     "recording/streaming)"},
    {"get_enc_type", user_cmd_get_enc_type,
     "argc:0, returns the current index from the enc type array"},
    {"set_mic_volume", user_cmd_set_mic_volume, "argc:1, [0-100] set the microphone volume"},
    {"get_mic_volume", user_cmd_get_mic_volume, "argc:0, [0-100] get the microphone volume"},
    {"pipeline_state", user_cmd_pipeline_state, "argc:0, prints the pipeline state in the log"},
    {"create_dot", user_cmd_create_dot, "argc:0, create a dot diagram of the current pipeline"},
    {"create_pipe", user_cmd_create_pipe,
     "argc:1, [pipe_enum] debug func creates a the specified pipe"},
    {"kill_pipe", user_cmd_kill_pipe, "argc:1, [pipe_enum] debug func destroys the specified pipe"},
    {"pause_pipe", user_cmd_pause_pipe, "argc:1, [pipe_enum] debug func pauses the specified pipe"},
    {"resume_pipe", user_cmd_resume_pipe,
     "argc:1, [pipe_enum] debug func resumes the specified pipe"},
    {"pause_video", user_cmd_pause_video, "argc:0, pauses the video"},
    {"resume_video", user_cmd_resume_video, "argc:0, resumes the video"},
    {"enable_http_stream", user_cmd_enable_http_stream, "argc:1 enable/disable the http stream"},
};

namespace {

const char *const kLegend[] = {
    "\n  Client Commands Legend:",
    "   @ - the command updates the corresponding option in the config file",
    "   ! - the argument is sourced from the configuration file",
    "   * - the command affects the current overlay",
    "   % - the command affects the current overlay until, disable_kbd command is received",
};

std::optional<std::string> encode_reply(char ctype, const char *cmd, const char *text) {
    ipc_message reply{ctype,
                      cmd,
                      static_cast<int>(strlen(cmd)),
                      text ? 's' : 'n',
                      text,
                      text ? static_cast<int>(strlen(text)) : 0};
    return ipc_serialize(reply);
}

}  // namespace

command_handler api_locate_command(const char *name) {
    for (const command_entry &entry : cmd_list) {
        if (strcmp(entry.name, name) == 0) {
            return entry.handler;
        }
    }
    return nullptr;
}

std::string api_get_help() {
    std::string help;
    help.reserve(4096);
    char line[512];
    for (const command_entry &entry : cmd_list) {
        snprintf(line, sizeof(line), "   %-20s %s\n", entry.name, entry.help);
        help += line;
    }
    for (const char *legend_line : kLegend) {
        help += legend_line;
        help += '\n';
    }
    return help;
}

namespace {

// The reply of the running handler until it takes it with reply_later().
Completion *running_reply = nullptr;

void send_encoded(const ReplySink &sink, char ctype, const char *cmd, const char *text) {
    std::optional<std::string> reply = encode_reply(ctype, cmd, text);
    if (!reply) {
        log_message(LOG_LEVEL_ERROR, "Failed to encode the reply to %s", cmd);
    }
    sink(*reply);
}

}  // namespace

void process_ipc(char *request, ReplySink sink) {
    ipc_message message{};
    if (ipc_deserialize(request, &message) != 0) {
        send_encoded(sink, 'e', "no_cmd", "Failed to decode the command");
        return;
    }
    command_handler handler = api_locate_command(message.cmd);
    if (!handler) {
        send_encoded(sink, 'e', message.cmd, "Unknown command");
        return;
    }
    Completion reply([sink, cmd = std::string(message.cmd)](
                         int result, const std::optional<std::string> &text) {
        send_encoded(sink, result == 0 ? 'r' : 'e', cmd.c_str(), text ? text->c_str() : nullptr);
    });
    Completion *outer = std::exchange(running_reply, &reply);
    std::optional<std::string> output;
    int result = handler(const_cast<char *>(message.data), output);
    bool taken = running_reply == nullptr;
    running_reply = outer;
    if (!taken) {
        reply(result, output);
    }
}

Completion reply_later() {
    if (!running_reply) {
        log_message(LOG_LEVEL_ERROR, "A reply was deferred outside of a command");
    }
    Completion taken = *running_reply;
    running_reply = nullptr;
    return taken;
}
