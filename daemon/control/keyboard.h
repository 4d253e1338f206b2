// The sight's three push buttons, read from their evdev input device. Each key acts once, on
// its release.
#pragma once

#include "core/completion.h"

// Key numbers of the buttons.
enum kbd_key { KBD_KEY_NUC = 0, KBD_KEY_ZOOM = 1, KBD_KEY_POL = 2 };

struct kbd_event {
    int released;  // 1 for a release, 0 for a press or an auto-repeat
    int key;
};

// The open device, -1 when none.
extern int kbd_file_desc;
// The device as registered with the event aggregator, -1 once the keyboard is disabled.
extern int kbd_fd;

// Opens the device; returns its descriptor or a negative value.
int kbd_init(const char *path);
// Reads one record: 0 for a key of the buttons, 1 for nothing to act on, -1 for another key.
int kbd_read(kbd_event *event);
// Runs the action of a released key; `done` gets 0, the action's failure (perhaps later, once
// the camera core answered), or 1 for an unknown key.
void process_kbd_event(const kbd_event *event, Completion done);
void kbd_close();
// The main loop's handler: reads one record and acts on it. A failing action is a warning;
// a device that went away is unregistered and closed.
void kbd_handle_input();
