#include "registry.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "interpipesrc.h"

GST_DEBUG_CATEGORY_EXTERN(interpipe_debug);
#define GST_CAT_DEFAULT interpipe_debug

namespace interpipe {
namespace {

struct Node {
    _GstInterpipeSink *sink = nullptr;
    std::vector<_GstInterpipeSrc *> listeners;
};

// Lock order: this mutex first, then a listener's own queue lock (taken inside
// gst_interpipe_src_push). Nothing takes this mutex while holding a listener's lock.
std::mutex registry_lock;
std::map<std::string, Node> nodes;

void forget_if_unused(std::map<std::string, Node>::iterator it) {
    if (it->second.sink == nullptr && it->second.listeners.empty())
        nodes.erase(it);
}

}  // namespace

void add_sink(const std::string &name, _GstInterpipeSink *sink) {
    std::lock_guard<std::mutex> guard(registry_lock);
    Node &node = nodes[name];
    if (node.sink != nullptr && node.sink != sink)
        GST_WARNING("sink \"%s\" published again; its listeners follow the new one", name.c_str());
    node.sink = sink;
    GST_DEBUG("sink \"%s\" published, %zu listener(s)", name.c_str(), node.listeners.size());
}

void remove_sink(const std::string &name, _GstInterpipeSink *sink) {
    std::lock_guard<std::mutex> guard(registry_lock);
    auto it = nodes.find(name);
    if (it == nodes.end() || it->second.sink != sink)
        return;
    it->second.sink = nullptr;
    GST_DEBUG("sink \"%s\" withdrawn", name.c_str());
    forget_if_unused(it);
}

void add_listener(const std::string &name, _GstInterpipeSrc *src) {
    std::lock_guard<std::mutex> guard(registry_lock);
    Node &node = nodes[name];
    if (std::find(node.listeners.begin(), node.listeners.end(), src) == node.listeners.end())
        node.listeners.push_back(src);
    GST_DEBUG("listener added to \"%s\" (sink %s)", name.c_str(), node.sink ? "present" : "absent");
}

void remove_listener(const std::string &name, _GstInterpipeSrc *src) {
    std::lock_guard<std::mutex> guard(registry_lock);
    auto it = nodes.find(name);
    if (it == nodes.end())
        return;
    auto &listeners = it->second.listeners;
    listeners.erase(std::remove(listeners.begin(), listeners.end(), src), listeners.end());
    forget_if_unused(it);
}

void deliver(const std::string &name, _GstInterpipeSink *sink, GstBuffer *buffer, GstCaps *caps,
             guint limit) {
    std::lock_guard<std::mutex> guard(registry_lock);
    auto it = nodes.find(name);
    if (it == nodes.end() || it->second.sink != sink)
        return;
    for (_GstInterpipeSrc *src : it->second.listeners)
        gst_interpipe_src_push(src, buffer, caps, limit);
}

int count_listeners(const std::string &name, _GstInterpipeSink *sink) {
    std::lock_guard<std::mutex> guard(registry_lock);
    auto it = nodes.find(name);
    if (it == nodes.end() || it->second.sink != sink)
        return 0;
    return static_cast<int>(it->second.listeners.size());
}

}  // namespace interpipe
