// The PID file of a daemonised mrvdc: created, locked and written at start, removed at stop
// while still locked, so a second daemon can neither take it nor lose its own to us.
#pragma once

#include <string>

#include "core/unique_fd.h"

// Opens or creates `path` (never through a symbolic link), locks it without waiting and
// writes "PID\n" in place of what it held. An invalid handle when it cannot be opened or
// another process holds its lock.
UniqueFd pid_file_lock(const std::string &path);
// Removes the PID file at `path` and then releases `locked`. Without a lock of ours (`locked`
// invalid: the daemon was not daemonised) the file is removed only when no process holds it.
void pid_file_remove(const std::string &path, UniqueFd locked);
