// Qt's X11 platform ends the process when it cannot use its display: QGuiApplication's
// constructor aborts (a fatal message) when the display cannot be opened, and on a broken X
// connection Qt, or Xlib's I/O error handler that Qt chains to, calls exit(1) on the GUI thread.
// The overlay runs inside the daemon, which must outlive it, so:
//  - start() connects to the display itself before it creates the application, and reports an
//    unreachable display instead;
//  - the GUI thread carries an exit guard: a thread-local object, whose destructor glibc runs
//    first in exit(), on the calling thread, before any atexit handler or static destructor.
//    When the GUI thread calls exit(), the guard marks the GUI lost and parks the thread for good,
//    so exit() never goes on: nothing the rest of the process uses is torn down. The locks the
//    thread may hold there are Qt's, Xlib's and the OpenGL driver's, which only it takes while
//    the process runs; at its exit the process skips the libraries' clean-up, which would wait
//    for them. A fatal Qt message on the GUI thread (after which Qt would abort) parks it the
//    same way;
//  - whoever waits for the GUI thread is woken when it is lost, and nothing is queued to it any
//    more. Its Qt objects stay with it, untouched.
#include "gui_thread.h"

#include <gst/gst.h>
#include <unistd.h>

#include <QGuiApplication>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "x_display.h"

GST_DEBUG_CATEGORY_STATIC(qt_debug);
#define GST_CAT_DEFAULT qt_debug

namespace {

enum class State { idle, starting, running, lost };

struct GuiThread {
    std::mutex lock;
    std::condition_variable changed;  // state changed, or a task of run() finished
    State state = State::idle;
    std::atomic<bool> lost{false};   // the state is lost; read on every video frame
    std::string display;             // the X display Qt uses, if any
    QGuiApplication *app = nullptr;  // made on the GUI thread, kept until the process ends
};

// Never destroyed: tasks may be posted until the process ends.
GuiThread &gui() {
    static auto *instance = new GuiThread;
    return *instance;
}

thread_local bool on_gui_thread = false;

void set_state(State state) {
    GuiThread &g = gui();
    {
        std::lock_guard<std::mutex> hold(g.lock);
        g.state = state;
        g.lost = state == State::lost;
    }
    g.changed.notify_all();
}

// The parked thread may hold Xlib's lock of Qt's display (Xlib's I/O error handler runs with it
// held), and the OpenGL library's clean-up at the process's exit waits for that lock: once the
// GUI is lost, the process leaves with its status before the libraries are torn down.
void leave_without_library_clean_up(int status, void *) {
    fflush(nullptr);
    _exit(status);
}

// Never returns: Qt was about to end the process from the GUI thread.
[[noreturn]] void park(const char *why) {
    GST_ERROR("%s: the overlay's Qt GUI thread stops for good", why);
    // Registered last, it runs first when the process exits: the exit handlers and the
    // libraries' clean-up are left out, the status is kept.
    on_exit(leave_without_library_clean_up, nullptr);
    set_state(State::lost);
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(24));
    }
}

// Destroyed when the GUI thread ends, which it does only through exit().
struct ExitGuard {
    ~ExitGuard() { park("Qt ended the process (its X connection is lost)"); }
};

// The X display Qt is to use: the one the host platform keeps for the overlay
// (MRVDC_OVERLAY_DISPLAY), else the user's; empty for none, or when QT_QPA_PLATFORM decides.
std::string x_display() {
    if (std::getenv("QT_QPA_PLATFORM")) {
        return "";
    }
    for (const char *name : {"MRVDC_OVERLAY_DISPLAY", "DISPLAY"}) {
        const char *display = std::getenv(name);
        if (display && *display) {
            return display;
        }
    }
    return "";
}

// Qt's platform: X11 on `display`; without one, Qt's offscreen platform, which loads the
// document but draws nothing; QT_QPA_PLATFORM, when set, is left to decide.
std::vector<std::string> qt_arguments(const std::string &display) {
    std::vector<std::string> args{"qtoverlay"};
    if (!display.empty()) {
        args.insert(args.end(), {"-platform", "xcb", "-display", display});
    } else if (!std::getenv("QT_QPA_PLATFORM")) {
        args.insert(args.end(), {"-platform", "offscreen"});
    }
    return args;
}

// Qt's own messages go to the element's debug log, not to the daemon's output.
void qt_message(QtMsgType type, const QMessageLogContext &, const QString &message) {
    QByteArray text = message.toLocal8Bit();
    if (type == QtDebugMsg || type == QtInfoMsg) {
        GST_DEBUG("Qt: %s", text.constData());
    } else {
        GST_WARNING("Qt: %s", text.constData());
    }
    if (type == QtFatalMsg && on_gui_thread) {
        park("Qt failed fatally");
    }
}

void thread_main(std::vector<std::string> args) {
    thread_local ExitGuard guard;
    (void)guard;
    on_gui_thread = true;
    GST_DEBUG_CATEGORY_INIT(qt_debug, "qtoverlay-qt", 0, "Qt messages of the overlay");
    qInstallMessageHandler(qt_message);
    // Qt keeps the arguments for the application's lifetime, which is the process's; this
    // thread starts once a process.
    static std::vector<std::string> kept = std::move(args);
    static std::vector<char *> argv;
    for (auto &arg : kept) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    static int argc = static_cast<int>(kept.size());
    // Never destroyed: its clean-up would run during the process's exit, after parts of Qt
    // it relies on are gone.
    auto *app = new QGuiApplication(argc, argv.data());
    app->setQuitOnLastWindowClosed(false);
    {
        std::lock_guard<std::mutex> hold(gui().lock);
        gui().app = app;
    }
    set_state(State::running);
    app->exec();
}

QGuiApplication *running_app() {
    GuiThread &g = gui();
    std::lock_guard<std::mutex> hold(g.lock);
    return g.state == State::running ? g.app : nullptr;
}

}  // namespace

namespace gui_thread {

std::string start() {
    GuiThread &g = gui();
    std::unique_lock<std::mutex> hold(g.lock);
    if (g.state == State::idle) {
        std::string display = x_display();
        if (!display.empty()) {
            std::string problem = x_display_problem(display);
            if (!problem.empty()) {
                return problem;
            }
        }
        g.display = display;
        g.state = State::starting;
        // Detached and never stopped: it outlives every scene (each is released on it when its
        // element stops), and then only waits for events until the process ends.
        std::thread(thread_main, qt_arguments(display)).detach();
    }
    g.changed.wait(hold, [&] { return g.state != State::starting; });
    if (g.state == State::lost) {
        std::string display = g.display.empty() ? "" : " \"" + g.display + "\"";
        return "Qt stopped working on its display" + display +
               " and cannot start again in this process";
    }
    return "";
}

bool lost() {
    return gui().lost.load(std::memory_order_relaxed);
}

void post(std::function<void()> task) {
    if (QGuiApplication *app = running_app()) {
        QMetaObject::invokeMethod(app, std::move(task), Qt::QueuedConnection);
    }
}

bool run(const std::function<void()> &task) {
    if (on_gui_thread) {
        task();
        return true;
    }
    QGuiApplication *app = running_app();
    if (!app) {
        return false;
    }
    GuiThread &g = gui();
    auto finished = std::make_shared<bool>(false);  // guarded by g.lock
    QMetaObject::invokeMethod(
        app,
        [task, finished] {
            task();
            {
                std::lock_guard<std::mutex> hold(gui().lock);
                *finished = true;
            }
            gui().changed.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> hold(g.lock);
    g.changed.wait(hold, [&] { return *finished || g.state == State::lost; });
    return *finished;
}

}  // namespace gui_thread
