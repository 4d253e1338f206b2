#include "core/event_aggregator.h"

#include <poll.h>

#include "core/log.h"

namespace {

ea_event user_events[EA_MAX_EVENTS];
pollfd poll_events[EA_MAX_EVENTS];
int registered_events = 0;
ea_event out_list[EA_MAX_EVENTS];

int find_slot(int fd) {
    for (int slot = 0; slot < registered_events; ++slot) {
        if (user_events[slot].fd == fd) {
            return slot;
        }
    }
    return -1;
}

}  // namespace

int ea_register_event(int fd, int type, uintptr_t data) {
    int existing = find_slot(fd);
    if (existing >= 0) {
        ea_event &held = user_events[existing];
        if (held.type != type || held.data != data) {
            // The caller holds this descriptor open, so the entry of that number is left over
            // from a descriptor that was closed and never unregistered: it is replaced.
            log_message(LOG_LEVEL_WARN, "Replaced stale entry of fd: %d, type: %d, with type: %d",
                        fd, held.type, type);
            held = ea_event{data, type, fd, 0};
            poll_events[existing] = pollfd{fd, POLLIN, 0};
        }
        return 0;
    }
    if (registered_events >= EA_MAX_EVENTS) {
        return 1;
    }
    user_events[registered_events] = ea_event{data, type, fd, 0};
    poll_events[registered_events] = pollfd{fd, POLLIN, 0};
    ++registered_events;
    log_message(LOG_LEVEL_DEBUG, "Registered fd: %d, with type: %d", fd, type);
    return 0;
}

int ea_unregister_event(int fd) {
    int slot = find_slot(fd);
    if (slot < 0) {
        return -1;
    }
    log_message(LOG_LEVEL_DEBUG, "Unregistered fd: %d, with type: %d", fd, user_events[slot].type);
    int last = registered_events - 1;
    if (slot != last) {
        user_events[slot] = user_events[last];
        poll_events[slot] = poll_events[last];
    }
    --registered_events;
    return 0;
}

namespace {

int watch_event(int fd, short event, bool watch) {
    int slot = find_slot(fd);
    if (slot < 0) {
        return -1;
    }
    short &events = poll_events[slot].events;
    events = static_cast<short>(watch ? events | event : events & ~event);
    return 0;
}

}  // namespace

int ea_watch_writable(int fd, bool watch) {
    return watch_event(fd, POLLOUT, watch);
}

int ea_watch_readable(int fd, bool watch) {
    return watch_event(fd, POLLIN, watch);
}

const ea_event *ea_poll_events(int *count) {
    *count = 0;
    if (registered_events == 0) {
        return out_list;
    }
    if (poll(poll_events, registered_events, -1) <= 0) {
        return out_list;
    }
    for (int slot = 0; slot < registered_events; ++slot) {
        if (poll_events[slot].revents > 0) {
            out_list[*count] = user_events[slot];
            out_list[*count].revents = poll_events[slot].revents;
            ++*count;
        }
    }
    return out_list;
}

int ea_registered_count() {
    return registered_events;
}
