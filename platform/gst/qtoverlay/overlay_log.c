#include "overlay_log.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

void overlay_log_attribute(GstElement *element, const gchar *text) {
    const gchar *root = g_getenv("MRVDC_SYSROOT");
    if (!root || !*root) {
        return;
    }
    gchar *path = g_build_filename(root, "var", "log", "overlay.log", NULL);
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        GST_WARNING_OBJECT(element, "cannot open %s: %s", path, g_strerror(errno));
    } else {
        gchar *line = g_strconcat(text ? text : "", "\n", NULL);
        gsize len = strlen(line);
        if (write(fd, line, len) != (ssize_t)len) {
            GST_WARNING_OBJECT(element, "cannot write %s: %s", path, g_strerror(errno));
        }
        g_free(line);
        close(fd);
    }
    g_free(path);
}
