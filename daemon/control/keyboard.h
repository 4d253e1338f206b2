// The sight's three push buttons, read from their evdev input device. Each key acts once, on
// its release.
#pragma once

#include <cstdint>

// Key numbers of the buttons.
enum kbd_key { KBD_KEY_NUC = 0, KBD_KEY_ZOOM = 1, KBD_KEY_POL = 2 };

struct kbd_event {
    int released;  // 1 for a release, 0 for a press or an auto-repeat
    int key;
};

// The event record of the sight's 32-bit kernel: 16 bytes in native byte order.
struct kbd_input_record {
    int32_t seconds;
    int32_t microseconds;
    uint16_t type;
    uint16_t code;
    int32_t value;
};
static_assert(sizeof(kbd_input_record) == 16, "the input record is 16 bytes");

// The open device, -1 when none.
extern int kbd_file_desc;
// The device as registered with the event aggregator, -1 once the keyboard is disabled.
extern int kbd_fd;

// Opens the device; returns its descriptor or a negative value.
int kbd_init(const char *path);
// Reads one record: 0 for a key of the buttons, 1 for nothing to act on, -1 for another key.
int kbd_read(kbd_event *event);
// Runs the action of a released key: 0, the action's failure, or 1 for an unknown key.
int process_kbd_event(const kbd_event *event);
void kbd_close();
// The main loop's handler: reads one record and acts on it. A failing action ends the
// process; a device that went away is unregistered and closed.
void kbd_handle_input();
