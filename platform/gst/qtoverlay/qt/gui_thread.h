// The process's Qt GUI thread: one QGuiApplication for every overlay element, started on first
// use and kept until the process ends. Qt Quick scenes live and render there, away from
// GStreamer's streaming threads.
//
// The GUI thread never ends the process: when its X display cannot be reached it is not
// started, and when Qt loses the display while running, the thread stops for good ("lost") and
// every overlay of the process fails from then on (Qt cannot be started twice in a process).
#pragma once

#include <functional>
#include <string>

namespace gui_thread {

// Starts the GUI thread unless it runs; empty when it runs, else why the overlay cannot
// render. An unreachable display is tried again at the next start; a lost one is final.
std::string start();

// Whether the GUI thread has lost its display; nothing runs on it any more then.
bool lost();

// Queues `task` to run on the GUI thread and returns at once; dropped when the thread does not
// run.
void post(std::function<void()> task);

// Runs `task` on the GUI thread and waits for it to finish. False when the thread does not run
// or is lost before the task has finished: the task never runs (or ends) then.
bool run(const std::function<void()> &task);

}  // namespace gui_thread
