// The one poll of the daemon: every descriptor that can wake it is registered here with an
// event type and a data word, and the main loop dispatches each ready entry by its type.
#pragma once

#include <cstdint>

enum EventType : int {
    EA_SERVER_SOCKET = 0,
    EA_CLIENT_SOCKET = 1,
    EA_PIPE_BUS = 2,
    EA_KEYBOARD = 3,
    EA_SIGNAL = 4,
    EA_TIMER = 5,
    EA_ACCELEROMETER = 6,
    EA_DEADLINE = 7,    // the timer list's descriptor
    EA_LOOP_TASKS = 8,  // work posted to the main thread
};

constexpr int EA_MAX_EVENTS = 32;

struct ea_event {
    uintptr_t data;  // opaque to the aggregator: a record's address or a pipe identifier
    int type;
    int fd;
    short revents;  // in a ready list: what poll reported (POLLIN, POLLOUT, POLLHUP, ...)
};

// 0 when registered; 1 when the table is full. A descriptor registered again with the same
// type and data keeps its entry; with another type or data, the entry held for that number is
// left over from a closed descriptor and is replaced (with a warning).
int ea_register_event(int fd, int type, uintptr_t data);
// 0, or -1 when the descriptor is not registered. The last entry moves into the freed slot.
int ea_unregister_event(int fd);
// Watches a registered descriptor for writability too (or no longer): 0, or -1 when it is not
// registered.
int ea_watch_writable(int fd, bool watch);
// Watches a registered descriptor for readability (the default) or no longer: a connection
// that owes a reply is not read. Hang-ups and errors are reported either way.
int ea_watch_readable(int fd, bool watch);
// Waits for ready entries; returns them in slot order. With nothing registered it returns at
// once with a count of 0. The list holds copies, so every entry that was ready keeps the type
// and data it had when the wait returned until the next call, whatever handlers register or
// unregister in between.
const ea_event *ea_poll_events(int *count);
// Number of registered entries.
int ea_registered_count();
