#include "protocol/command_handlers.h"

// Commands of the video subsystem: until its operations are built they answer with a failure, never
// with a fake success.
#define MRVDC_UNAVAILABLE(name)                      \
    int name(char *, std::optional<std::string> &) { \
        return 1;                                    \
    }

MRVDC_UNAVAILABLE(user_cmd_set_qml_prop)
MRVDC_UNAVAILABLE(user_cmd_enable_qml)
MRVDC_UNAVAILABLE(user_cmd_enable_record)
MRVDC_UNAVAILABLE(user_cmd_make_snapshot)
MRVDC_UNAVAILABLE(user_cmd_enable_tcp_stream)
MRVDC_UNAVAILABLE(user_cmd_enable_http_stream)
MRVDC_UNAVAILABLE(user_cmd_set_enc_type)
MRVDC_UNAVAILABLE(user_cmd_set_mic_volume)
MRVDC_UNAVAILABLE(user_cmd_pipeline_state)
MRVDC_UNAVAILABLE(user_cmd_create_dot)
MRVDC_UNAVAILABLE(user_cmd_create_pipe)
MRVDC_UNAVAILABLE(user_cmd_kill_pipe)
MRVDC_UNAVAILABLE(user_cmd_pause_pipe)
MRVDC_UNAVAILABLE(user_cmd_resume_pipe)
MRVDC_UNAVAILABLE(user_cmd_pause_video)
MRVDC_UNAVAILABLE(user_cmd_resume_video)

#undef MRVDC_UNAVAILABLE
