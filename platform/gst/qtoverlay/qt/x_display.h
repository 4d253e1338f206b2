// Whether an X display can be reached, asked over a connection of our own: Qt's X11 platform
// ends the process when it cannot open its display, so the overlay asks first.
#pragma once

#include <string>

// Empty when a client can connect to `display` (":N"), else why it cannot.
std::string x_display_problem(const std::string &display);
