#include "overlay_scene.h"

#include <json-glib/json-glib.h>
#include <math.h>
#include <string.h>

void overlay_scene_init(OverlayScene *scene) {
    memset(scene, 0, sizeof *scene);
    scene->reticle_shown = TRUE;
    scene->x = 512.0 - 185.0;
    scene->y = 384.0 - 185.0;
    scene->width = 370.0;
    scene->height = 370.0;
    scene->dot_x = 512.0;
    scene->dot_y = 384.0;
    scene->dot_shown = FALSE;
    scene->opacity = 1.0;
    scene->pip_zoom_level = 1;
}

void overlay_scene_clear(OverlayScene *scene) {
    g_free(scene->source);
    scene->source = NULL;
}

static gboolean fail(gchar **error, const gchar *format, ...) G_GNUC_PRINTF(2, 3);

static gboolean fail(gchar **error, const gchar *format, ...) {
    va_list args;
    va_start(args, format);
    *error = g_strdup_vprintf(format, args);
    va_end(args);
    return FALSE;
}

/* A JSON number (integer or real), finite. */
static gboolean json_number(JsonNode *node, double *value) {
    if (!JSON_NODE_HOLDS_VALUE(node)) {
        return FALSE;
    }
    GType type = json_node_get_value_type(node);
    if (type == G_TYPE_INT64) {
        *value = (double)json_node_get_int(node);
    } else if (type == G_TYPE_DOUBLE) {
        *value = json_node_get_double(node);
    } else {
        return FALSE;
    }
    return isfinite(*value);
}

static gboolean json_integer(JsonNode *node, gint64 *value) {
    if (!JSON_NODE_HOLDS_VALUE(node) || json_node_get_value_type(node) != G_TYPE_INT64) {
        return FALSE;
    }
    *value = json_node_get_int(node);
    return TRUE;
}

static const gchar *json_string(JsonNode *node) {
    if (!JSON_NODE_HOLDS_VALUE(node) || json_node_get_value_type(node) != G_TYPE_STRING) {
        return NULL;
    }
    return json_node_get_string(node);
}

static gboolean parse_color(const gchar *text, guint8 rgb[3]) {
    if (!text || strlen(text) != 7 || text[0] != '#') {
        return FALSE;
    }
    for (gint i = 0; i < 3; i++) {
        gint hi = g_ascii_xdigit_value(text[1 + 2 * i]);
        gint lo = g_ascii_xdigit_value(text[2 + 2 * i]);
        if (hi < 0 || lo < 0) {
            return FALSE;
        }
        rgb[i] = (guint8)(hi * 16 + lo);
    }
    return TRUE;
}

static JsonObject *parse_object(const gchar *value, JsonParser *parser, gchar **error) {
    GError *err = NULL;
    if (!json_parser_load_from_data(parser, value, -1, &err)) {
        fail(error, "value is not JSON (%s)", err->message);
        g_error_free(err);
        return NULL;
    }
    JsonNode *root = json_parser_get_root(parser);
    if (!root || !JSON_NODE_HOLDS_OBJECT(root)) {
        fail(error, "value is not a JSON object");
        return NULL;
    }
    return json_node_get_object(root);
}

/* One key of a "retProfParam" object, applied to `staged`. */
static gboolean apply_reticle_key(OverlayScene *staged, const gchar *key, JsonNode *node,
                                  gchar **error) {
    double number;
    gint64 integer;
    if (strcmp(key, "STATE") == 0 || strcmp(key, "RD_STATE") == 0) {
        if (!json_integer(node, &integer)) {
            return fail(error, "%s must be an integer", key);
        }
        *(key[0] == 'S' ? &staged->reticle_shown : &staged->dot_shown) = integer != 0;
        return TRUE;
    }
    struct {
        const gchar *name;
        double *field;
        gboolean positive;
    } numbers[] = {
        {"X", &staged->x, FALSE},        {"Y", &staged->y, FALSE},
        {"RD_X", &staged->dot_x, FALSE}, {"RD_Y", &staged->dot_y, FALSE},
        {"WIDTH", &staged->width, TRUE}, {"HEIGHT", &staged->height, TRUE},
    };
    for (gsize i = 0; i < G_N_ELEMENTS(numbers); i++) {
        if (strcmp(key, numbers[i].name) == 0) {
            if (!json_number(node, &number)) {
                return fail(error, "%s must be a number", key);
            }
            if (numbers[i].positive && number < 0) {
                return fail(error, "%s must not be negative", key);
            }
            *numbers[i].field = number;
            return TRUE;
        }
    }
    if (strcmp(key, "Z_OFFSET_X") == 0 || strcmp(key, "Z_OFFSET_Y") == 0) {
        if (!json_number(node, &number) || fabs(number) > G_MAXINT) {
            return fail(error, "%s must be a number", key);
        }
        *(key[9] == 'X' ? &staged->pip_offset_x : &staged->pip_offset_y) = (gint)number;
        return TRUE;
    }
    if (strcmp(key, "COLOR_HEX") == 0) {
        if (!parse_color(json_string(node), staged->color)) {
            return fail(error, "COLOR_HEX must be a text \"#rrggbb\"");
        }
        return TRUE;
    }
    if (strcmp(key, "BRIGHT_VAL") == 0) {
        /* Sent as a quoted number; a plain number is taken too. */
        const gchar *text = json_string(node);
        if (text) {
            gchar *end = NULL;
            number = g_ascii_strtod(text, &end);
            if (end == text || *end != '\0' || !isfinite(number)) {
                return fail(error, "BRIGHT_VAL \"%s\" is not a number", text);
            }
        } else if (!json_number(node, &number)) {
            return fail(error, "BRIGHT_VAL must be a number");
        }
        staged->opacity = CLAMP(number, 0.0, 1.0);
        return TRUE;
    }
    if (strcmp(key, "SRC") == 0) {
        const gchar *text = json_string(node);
        if (!text) {
            return fail(error, "SRC must be a text");
        }
        g_free(staged->source);
        staged->source = g_strdup(text);
        return TRUE;
    }
    return fail(error, "unknown key %s", key);
}

static gboolean apply_reticle(OverlayScene *scene, const gchar *value, gchar **error) {
    JsonParser *parser = json_parser_new();
    JsonObject *object = parse_object(value, parser, error);
    gboolean ok = object != NULL;
    if (ok) {
        OverlayScene staged = *scene;
        staged.source = g_strdup(scene->source);
        JsonObjectIter iter;
        const gchar *key;
        JsonNode *node;
        json_object_iter_init(&iter, object);
        while (ok && json_object_iter_next(&iter, &key, &node)) {
            ok = apply_reticle_key(&staged, key, node, error);
        }
        if (ok) {
            overlay_scene_clear(scene);
            *scene = staged;
        } else {
            overlay_scene_clear(&staged);
        }
    }
    g_object_unref(parser);
    return ok;
}

static gboolean apply_icon(OverlayScene *scene, const gchar *value, gint64 now, gchar **error) {
    JsonParser *parser = json_parser_new();
    JsonObject *object = parse_object(value, parser, error);
    gboolean ok = FALSE;
    if (object) {
        JsonNode *key_node = json_object_get_member(object, "KEY");
        JsonNode *val_node = json_object_get_member(object, "VAL");
        const gchar *key = key_node ? json_string(key_node) : NULL;
        gint64 val;
        if (json_object_get_size(object) != 2 || !key || !val_node ||
            !json_integer(val_node, &val)) {
            fail(error, "icon must be {\"KEY\": text, \"VAL\": integer}");
        } else if (strcmp(key, "LUM") == 0) {
            ok = val >= 0 && val <= 4
                     ? (scene->lum_level = (gint)val, TRUE)
                     : fail(error, "LUM value %" G_GINT64_FORMAT " not in 0..4", val);
        } else if (strcmp(key, "ZOOM") == 0) {
            ok = val >= 0 && val <= 2
                     ? (scene->zoom_level = (gint)val, TRUE)
                     : fail(error, "ZOOM value %" G_GINT64_FORMAT " not in 0..2", val);
        } else if (strcmp(key, "PIP_ZOOM") == 0) {
            ok = val >= 1 && val <= 2
                     ? (scene->pip_zoom_level = (gint)val, TRUE)
                     : fail(error, "PIP_ZOOM value %" G_GINT64_FORMAT " not in 1..2", val);
        } else if (strcmp(key, "AUTO_NUC_ALRT") == 0) {
            ok = val == 0 ? (scene->nuc_alert_until = now + OVERLAY_NUC_ALERT_US, TRUE)
                          : fail(error, "AUTO_NUC_ALRT value %" G_GINT64_FORMAT " is not 0", val);
        } else {
            fail(error, "unknown icon %s", key);
        }
    }
    g_object_unref(parser);
    return ok;
}

static gboolean parse_flag(const gchar *value, gboolean *flag) {
    if (strcmp(value, "1") == 0 || strcmp(value, "true") == 0) {
        *flag = TRUE;
    } else if (strcmp(value, "0") == 0 || strcmp(value, "false") == 0) {
        *flag = FALSE;
    } else {
        return FALSE;
    }
    return TRUE;
}

gboolean overlay_scene_apply(OverlayScene *scene, const gchar *text, gint64 now, gchar **error) {
    *error = NULL;
    if (!text) {
        return fail(error, "no text");
    }
    const gchar *dot = strchr(text, '.');
    const gchar *colon = dot ? strchr(dot, ':') : NULL;
    if (!dot || !colon || dot == text || colon == dot + 1) {
        return fail(error, "not of the form Object.property:value");
    }
    gchar *object = g_strndup(text, (gsize)(dot - text));
    gchar *property = g_strndup(dot + 1, (gsize)(colon - dot - 1));
    const gchar *value = colon + 1;
    gboolean ok;
    if (strcmp(object, "ReticleMenu") == 0 && strcmp(property, "retProfParam") == 0) {
        ok = apply_reticle(scene, value, error);
    } else if (strcmp(object, "OffMenu") == 0 && strcmp(property, "offMenuParams") == 0) {
        ok = apply_icon(scene, value, now, error);
    } else if (strcmp(object, "FtrMenu") == 0 &&
               (strcmp(property, "pipSt") == 0 || strcmp(property, "lvlSt") == 0)) {
        gboolean *flag = property[0] == 'p' ? &scene->pip_shown : &scene->leveler_shown;
        ok = parse_flag(value, flag) || fail(error, "%s must be 1 or 0", property);
    } else {
        ok = fail(error, "the document has no property %s.%s", object, property);
    }
    g_free(object);
    g_free(property);
    return ok;
}
