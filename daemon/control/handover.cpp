#include "control/handover.h"

#include "config/config.h"
#include "control/accelerometer.h"
#include "control/device_state.h"
#include "control/keyboard.h"
#include "core/event_aggregator.h"
#include "core/log.h"
#include "core/message_bus.h"

int ac_disable_kbd() {
    if (ea_unregister_event(kbd_fd) == 0) {
        kbd_fd = -1;
        kbd_close();
    }
    if (ea_unregister_event(acc_fd) == 0) {
        acc_fd = -1;
        acc_close();
    }
    disable_non_video = 1;
    if (rmb_connect(global_config.redis_socket.c_str()) == 0) {
        log_message(LOG_LEVEL_INFO, "Connected to redis: %s", global_config.redis_socket.c_str());
    }
    return 0;
}
