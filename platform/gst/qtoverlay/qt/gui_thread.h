// The process's Qt GUI thread: one QGuiApplication for every overlay element, started on first
// use and kept until the process ends. Qt Quick scenes live and render there, away from
// GStreamer's streaming threads.
#pragma once

#include <functional>

namespace gui_thread {

// Queues `task` to run on the GUI thread and returns at once.
void post(std::function<void()> task);

// Runs `task` on the GUI thread and waits for it to finish.
void run(const std::function<void()> &task);

}  // namespace gui_thread
