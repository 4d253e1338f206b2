#include "x_display.h"

#include <xcb/xcb.h>

namespace {

std::string describe(int error) {
    switch (error) {
        case XCB_CONN_ERROR:
            return "no X server answers there";
        case XCB_CONN_CLOSED_EXT_NOTSUPPORTED:
            return "an extension is not supported";
        case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
            return "out of memory";
        case XCB_CONN_CLOSED_REQ_LEN_EXCEED:
            return "request too long";
        case XCB_CONN_CLOSED_PARSE_ERR:
            return "the display name is not valid";
        case XCB_CONN_CLOSED_INVALID_SCREEN:
            return "no such screen";
        default:
            return "error " + std::to_string(error);
    }
}

}  // namespace

std::string x_display_problem(const std::string &display) {
    xcb_connection_t *connection = xcb_connect(display.c_str(), nullptr);
    // xcb_connect never returns null: a failed connection is an object in an error state.
    int error = xcb_connection_has_error(connection);
    xcb_disconnect(connection);
    if (error == 0) {
        return "";
    }
    return "cannot open the X display \"" + display + "\": " + describe(error);
}
