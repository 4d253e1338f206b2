#include "control/keyboard.h"

#include <fcntl.h>
#include <linux/input.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "control/camera_controls.h"
#include "core/event_aggregator.h"
#include "core/log.h"

int kbd_file_desc = -1;
int kbd_fd = -1;

namespace {

struct key_binding {
    uint16_t code;
    int key;
};

const key_binding kKeyMap[] = {
    {KEY_BACK, KBD_KEY_NUC},
    {KEY_HOMEPAGE, KBD_KEY_ZOOM},
    {KEY_MENU, KBD_KEY_POL},
};

// evdev hands out the kernel's record: its time is two longs whatever the C library's time_t
// (a 32-bit program built with a 64-bit time_t still reads 16 bytes).
static_assert(sizeof(input_event) == 2 * sizeof(long) + 8, "not the kernel's input record");

// Set by kbd_read when the device reported end-of-file or a hard error: it is gone.
bool device_gone = false;

}  // namespace

int kbd_init(const char *path) {
    // Non-blocking, so that a wake-up without a whole record never stalls the main loop.
    kbd_file_desc = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return kbd_file_desc;
}

int kbd_read(kbd_event *event) {
    device_gone = false;
    if (kbd_file_desc < 0) {
        return 1;
    }
    // The running kernel's record: 16 bytes on the sight's 32-bit kernel, 24 on a 64-bit one.
    // evdev refuses reads shorter than one record.
    input_event record{};
    ssize_t count = read(kbd_file_desc, &record, sizeof(record));
    if (count <= 0) {
        device_gone = count == 0 || (errno != EAGAIN && errno != EINTR);
        return 1;
    }
    if (count != static_cast<ssize_t>(sizeof(record)) || record.type != EV_KEY) {
        return 1;
    }
    event->released = record.value <= 0 ? 1 : 0;
    for (const key_binding &binding : kKeyMap) {
        if (binding.code == record.code) {
            event->key = binding.key;
            return 0;
        }
    }
    return -1;
}

void process_kbd_event(const kbd_event *event, Completion done) {
    if (event->released != 1) {
        done(0);
        return;
    }
    log_message(LOG_LEVEL_INFO, "kbd event: %d", event->key);
    switch (event->key) {
        case KBD_KEY_NUC:
            ac_exec_nuc_cmd(1, std::move(done));
            return;
        case KBD_KEY_ZOOM:
            ac_toggle_zoom(std::move(done));
            return;
        case KBD_KEY_POL:
            ac_toggle_lum(std::move(done));
            return;
        default:
            done(1);
            return;
    }
}

void kbd_close() {
    if (kbd_file_desc >= 0) {
        close(kbd_file_desc);
    }
    kbd_file_desc = -1;
}

void kbd_handle_input() {
    kbd_event event{};
    if (kbd_read(&event) == 0) {
        // A button must never stop the sight (and cut a recording): a failed action is
        // reported, and the next press tries again.
        process_kbd_event(&event, Completion([](int result, const std::optional<std::string> &) {
            if (result != 0) {
                log_message(LOG_LEVEL_WARN, "failed to process kbd input");
            }
        }));
        return;
    }
    if (device_gone && kbd_fd >= 0) {
        // An unplugged device stays readable for ever: drop it rather than spin.
        log_message(LOG_LEVEL_WARN, "kbd device went away, closing it");
        ea_unregister_event(kbd_fd);
        kbd_fd = -1;
        kbd_close();
    }
}
