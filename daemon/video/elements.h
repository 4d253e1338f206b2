// Small helpers the pipeline builders share: making elements and setting their properties
// by the property's own type, so a value always reaches the element in the form it declares.
#pragma once

#include <gst/gst.h>

#include <cstdint>

#include "video/gst_handle.h"

// A new element owned by the caller, or an empty handle when the factory is missing.
GstRef<GstElement> make_element(const char *factory, const char *name);

// Integer, enumeration and boolean properties (an enumeration takes its numeric value).
void set_int(GstElement *element, const char *property, int64_t value);
void set_bool(GstElement *element, const char *property, bool value);
void set_double(GstElement *element, const char *property, double value);
void set_string(GstElement *element, const char *property, const char *value);
void set_caps(GstElement *element, const char *property, const char *caps_text);
void set_object(GstElement *element, const char *property, GstElement *value);

// Adds every element of the list to the bin.
void add_all(GstElement *bin, std::initializer_list<GstElement *> elements);
// Links the elements in the order given: true when every link was made.
bool link_all(std::initializer_list<GstElement *> elements);
