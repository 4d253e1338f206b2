// The daemon's side of its service manager (systemd): readiness, stopping and watchdog
// notifications, and a listening control socket handed over by socket activation. Without a
// service manager (no NOTIFY_SOCKET, no LISTEN_FDS) every call does nothing.
#pragma once

// The control socket systemd listens on for us: a listening Unix stream socket, made
// non-blocking; -1 when none was passed.
int service_inherited_control_socket();
// The socket listens and the start-up device state is applied: clients may come.
void service_notify_ready();
// A stop signal arrived: the pipelines drain from here on.
void service_notify_stopping();
// Called from the main loop's one-second tick: a loop that stops ticking is restarted.
void service_watchdog_alive();
