/* The record of the overlay's attribute texts: $MRVDC_SYSROOT/var/log/overlay.log, one text a
 * line, so that tests can read exactly what the daemon sent. */
#ifndef MRV_OVERLAY_LOG_H
#define MRV_OVERLAY_LOG_H

#include <gst/gst.h>

G_BEGIN_DECLS

/* Appends the text; nothing without a sysroot. */
void overlay_log_attribute(GstElement *element, const gchar *text);

G_END_DECLS

#endif
