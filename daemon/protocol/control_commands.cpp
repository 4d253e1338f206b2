#include "protocol/command_handlers.h"

// Commands of the device control: until its operations are built they answer with a failure, never
// with a fake success.
#define MRVDC_UNAVAILABLE(name)                      \
    int name(char *, std::optional<std::string> &) { \
        return 1;                                    \
    }

MRVDC_UNAVAILABLE(user_cmd_disable_kbd)
MRVDC_UNAVAILABLE(user_cmd_kbd_zoom)
MRVDC_UNAVAILABLE(user_cmd_kbd_nuc)
MRVDC_UNAVAILABLE(user_cmd_kbd_pol)
MRVDC_UNAVAILABLE(user_cmd_enable_pip)
MRVDC_UNAVAILABLE(user_cmd_get_zoom)
MRVDC_UNAVAILABLE(user_cmd_enable_reticle)
MRVDC_UNAVAILABLE(user_cmd_enable_dot)
MRVDC_UNAVAILABLE(user_cmd_set_origin)
MRVDC_UNAVAILABLE(user_cmd_set_reticle_src)
MRVDC_UNAVAILABLE(user_cmd_set_reticle_color)
MRVDC_UNAVAILABLE(user_cmd_set_reticle_opacity)
MRVDC_UNAVAILABLE(user_cmd_set_nuc_type)
MRVDC_UNAVAILABLE(user_cmd_set_lum)

#undef MRVDC_UNAVAILABLE
