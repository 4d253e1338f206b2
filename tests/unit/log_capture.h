// Routes the daemon's log into a temporary file for the duration of a test.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "core/log.h"

class LogCapture {
public:
    explicit LogCapture(int verbose = 0) {
        char name[] = "/tmp/mrvdc-log-XXXXXX";
        int fd = mkstemp(name);
        close(fd);
        path_ = name;
        saved_verbose_ = log_verbose;
        log_verbose = verbose;
        log_open(path_.c_str());
    }
    ~LogCapture() {
        log_close();
        log_verbose = saved_verbose_;
        unlink(path_.c_str());
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::string text() const {
        std::ifstream in(path_);
        std::stringstream contents;
        contents << in.rdbuf();
        return contents.str();
    }
    bool contains(const std::string &needle) const {
        return text().find(needle) != std::string::npos;
    }

private:
    std::string path_;
    int saved_verbose_;
};
