#include "video/elements.h"

#include "core/log.h"

namespace {

GParamSpec *find_property(GstElement *element, const char *property) {
    GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(element), property);
    if (!pspec) {
        log_message(LOG_LEVEL_WARN, "Element %s has no property %s", GST_ELEMENT_NAME(element),
                    property);
    }
    return pspec;
}

void set_value(GstElement *element, const char *property, GValue *value) {
    g_object_set_property(G_OBJECT(element), property, value);
    g_value_unset(value);
}

}  // namespace

GstRef<GstElement> make_element(const char *factory, const char *name) {
    return gst_take_floating(gst_element_factory_make(factory, name));
}

void set_int(GstElement *element, const char *property, int64_t number) {
    GParamSpec *pspec = find_property(element, property);
    if (!pspec) {
        return;
    }
    GType type = G_PARAM_SPEC_VALUE_TYPE(pspec);
    GValue value = G_VALUE_INIT;
    g_value_init(&value, type);
    switch (G_TYPE_FUNDAMENTAL(type)) {
        case G_TYPE_INT:
            g_value_set_int(&value, static_cast<gint>(number));
            break;
        case G_TYPE_UINT:
            g_value_set_uint(&value, static_cast<guint>(number));
            break;
        case G_TYPE_LONG:
            g_value_set_long(&value, static_cast<glong>(number));
            break;
        case G_TYPE_ULONG:
            g_value_set_ulong(&value, static_cast<gulong>(number));
            break;
        case G_TYPE_INT64:
            g_value_set_int64(&value, number);
            break;
        case G_TYPE_UINT64:
            g_value_set_uint64(&value, static_cast<guint64>(number));
            break;
        case G_TYPE_ENUM:
            g_value_set_enum(&value, static_cast<gint>(number));
            break;
        case G_TYPE_BOOLEAN:
            g_value_set_boolean(&value, number != 0);
            break;
        case G_TYPE_DOUBLE:
            g_value_set_double(&value, static_cast<double>(number));
            break;
        case G_TYPE_FLOAT:
            g_value_set_float(&value, static_cast<float>(number));
            break;
        default:
            log_message(LOG_LEVEL_WARN, "Property %s of %s is not a number", property,
                        GST_ELEMENT_NAME(element));
            g_value_unset(&value);
            return;
    }
    set_value(element, property, &value);
}

void set_bool(GstElement *element, const char *property, bool flag) {
    set_int(element, property, flag ? 1 : 0);
}

void set_double(GstElement *element, const char *property, double number) {
    GParamSpec *pspec = find_property(element, property);
    if (!pspec) {
        return;
    }
    GValue value = G_VALUE_INIT;
    g_value_init(&value, G_TYPE_DOUBLE);
    g_value_set_double(&value, number);
    GValue converted = G_VALUE_INIT;
    g_value_init(&converted, G_PARAM_SPEC_VALUE_TYPE(pspec));
    if (g_value_transform(&value, &converted)) {
        set_value(element, property, &converted);
    } else {
        log_message(LOG_LEVEL_WARN, "Property %s of %s is not a number", property,
                    GST_ELEMENT_NAME(element));
        g_value_unset(&converted);
    }
    g_value_unset(&value);
}

void set_string(GstElement *element, const char *property, const char *text) {
    if (find_property(element, property)) {
        g_object_set(G_OBJECT(element), property, text, nullptr);
    }
}

void set_caps(GstElement *element, const char *property, const char *caps_text) {
    if (!find_property(element, property)) {
        return;
    }
    GstRef<GstCaps> caps(gst_caps_from_string(caps_text));
    g_object_set(G_OBJECT(element), property, caps.get(), nullptr);
}

void set_object(GstElement *element, const char *property, GstElement *object) {
    if (find_property(element, property)) {
        g_object_set(G_OBJECT(element), property, object, nullptr);
    }
}

void add_all(GstElement *bin, std::initializer_list<GstElement *> elements) {
    for (GstElement *element : elements) {
        gst_bin_add(GST_BIN(bin), element);
    }
}

bool link_all(std::initializer_list<GstElement *> elements) {
    GstElement *previous = nullptr;
    for (GstElement *element : elements) {
        if (previous && !gst_element_link(previous, element)) {
            return false;
        }
        previous = element;
    }
    return true;
}
