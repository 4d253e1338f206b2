// Owning handles of GStreamer and GLib objects: each holds one reference (or one allocation)
// and releases it on destruction.
#pragma once

#include <gst/gst.h>

#include <memory>
#include <utility>

template <typename T>
struct GstUnref {
    static void unref(T *object) { gst_object_unref(object); }
};
template <>
struct GstUnref<GstSample> {
    static void unref(GstSample *object) { gst_sample_unref(object); }
};
template <>
struct GstUnref<GstCaps> {
    static void unref(GstCaps *object) { gst_caps_unref(object); }
};
template <>
struct GstUnref<GstMessage> {
    static void unref(GstMessage *object) { gst_message_unref(object); }
};
template <>
struct GstUnref<GstIterator> {
    static void unref(GstIterator *object) { gst_iterator_free(object); }
};

template <typename T>
class GstRef {
public:
    GstRef() = default;
    // Takes over one reference that the caller owns.
    explicit GstRef(T *object) : object_(object) {}
    GstRef(GstRef &&other) noexcept : object_(other.release()) {}
    GstRef &operator=(GstRef &&other) noexcept {
        reset(other.release());
        return *this;
    }
    GstRef(const GstRef &) = delete;
    GstRef &operator=(const GstRef &) = delete;
    ~GstRef() { reset(); }

    T *get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    T *release() { return std::exchange(object_, nullptr); }
    void reset(T *object = nullptr) {
        T *old = std::exchange(object_, object);
        if (old) {
            GstUnref<T>::unref(old);
        }
    }

private:
    T *object_ = nullptr;
};

// A GstObject returned with a floating reference (a new element, a pad template) becomes an
// ordinary owned reference.
template <typename T>
GstRef<T> gst_take_floating(T *object) {
    if (object) {
        gst_object_ref_sink(object);
    }
    return GstRef<T>(object);
}

// An additional reference to an object the caller does not own.
template <typename T>
GstRef<T> gst_add_ref(T *object) {
    if (object) {
        gst_object_ref(object);
    }
    return GstRef<T>(object);
}

struct GFreeDeleter {
    void operator()(gchar *text) const { g_free(text); }
};
using GText = std::unique_ptr<gchar, GFreeDeleter>;

struct GErrorDeleter {
    void operator()(GError *error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorDeleter>;
