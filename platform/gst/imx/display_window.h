/* The eyepiece picture in a desktop window: when a display is available (DISPLAY or
 * WAYLAND_DISPLAY), the display sink also hands each picture to a small pipeline of its own
 * that ends in a standard GStreamer video sink, in a window titled after the sight. */
#ifndef MRV_DISPLAY_WINDOW_H
#define MRV_DISPLAY_WINDOW_H

#include <gst/gst.h>

G_BEGIN_DECLS

#define DISPLAY_WINDOW_TITLE "Mirova thermal sight - eyepiece"

typedef struct DisplayWindow DisplayWindow;

/* A window when a display is available and its sink can be made, else NULL. */
DisplayWindow *display_window_open(GstObject *owner);
void display_window_close(DisplayWindow *window);

/* Pictures of these caps follow. */
void display_window_set_caps(DisplayWindow *window, GstCaps *caps);

/* Shows the picture; a window the user closed drops it. */
void display_window_show(DisplayWindow *window, GstBuffer *buffer);

G_END_DECLS

#endif
