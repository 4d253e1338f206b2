#include "gui_thread.h"

#include <gst/gst.h>

#include <QGuiApplication>
#include <QThread>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(qt_debug);
#define GST_CAT_DEFAULT qt_debug

namespace {

struct GuiThread {
    std::mutex lock;
    QGuiApplication *app = nullptr;  // made on the GUI thread, kept until the process ends
};

// Never destroyed: tasks may be posted until the process ends.
GuiThread &gui() {
    static auto *instance = new GuiThread;
    return *instance;
}

// Qt's platform: X11 on the display the host platform keeps for the overlay
// (MRVDC_OVERLAY_DISPLAY) or on the user's; without any, Qt's offscreen platform, which loads
// the document but draws nothing. QT_QPA_PLATFORM, when set, is left to decide.
std::vector<std::string> qt_arguments() {
    std::vector<std::string> args{"qtoverlay"};
    if (std::getenv("QT_QPA_PLATFORM")) {
        return args;
    }
    const char *display = std::getenv("MRVDC_OVERLAY_DISPLAY");
    if (!display || !*display) {
        display = std::getenv("DISPLAY");
    }
    if (display && *display) {
        args.insert(args.end(), {"-platform", "xcb", "-display", display});
    } else {
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
}

void thread_main(std::promise<QGuiApplication *> started) {
    GST_DEBUG_CATEGORY_INIT(qt_debug, "qtoverlay-qt", 0, "Qt messages of the overlay");
    qInstallMessageHandler(qt_message);
    // Qt keeps the arguments for the application's lifetime, which is the process's.
    static std::vector<std::string> args = qt_arguments();
    static std::vector<char *> argv;
    for (auto &arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    static int argc = static_cast<int>(args.size());
    // Never destroyed: its clean-up would run during the process's exit, after parts of Qt
    // it relies on are gone.
    auto *app = new QGuiApplication(argc, argv.data());
    app->setQuitOnLastWindowClosed(false);
    started.set_value(app);
    app->exec();
}

QGuiApplication *started_app() {
    GuiThread &g = gui();
    std::lock_guard<std::mutex> hold(g.lock);
    if (!g.app) {
        std::promise<QGuiApplication *> started;
        std::future<QGuiApplication *> app = started.get_future();
        // Detached and never stopped: it outlives every scene (each is released on it when its
        // element stops), and then only waits for events until the process ends.
        std::thread(thread_main, std::move(started)).detach();
        g.app = app.get();
    }
    return g.app;
}

}  // namespace

namespace gui_thread {

void post(std::function<void()> task) {
    QMetaObject::invokeMethod(started_app(), std::move(task), Qt::QueuedConnection);
}

void run(const std::function<void()> &task) {
    QGuiApplication *app = started_app();
    if (QThread::currentThread() == app->thread()) {
        task();
    } else {
        QMetaObject::invokeMethod(app, task, Qt::BlockingQueuedConnection);
    }
}

}  // namespace gui_thread
