// A QML overlay document loaded into Qt Quick on the GUI thread and rendered offscreen with
// OpenGL whenever its scene changes, never per video frame.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "blend.h"

class QmlScene {
public:
    struct Listener {
        // A new overlay was rendered (called on the GUI thread).
        std::function<void(std::shared_ptr<const OverlayImage>)> rendered;
        // Something went wrong in the document or in an attribute (called on the GUI thread).
        std::function<void(const std::string &)> warning;
    };

    // Loads `document` on the GUI thread; returns without waiting for it.
    QmlScene(const std::string &document, Listener listener);
    // Waits until the GUI thread has let go of the scene, or is lost: no listener call follows.
    ~QmlScene();
    QmlScene(const QmlScene &) = delete;
    QmlScene &operator=(const QmlScene &) = delete;

    // Sets a property of a named object from "Object.property:value"; applied in order.
    void set_attribute(const std::string &text);

    class Renderer;

private:
    std::unique_ptr<Renderer> renderer_;  // made, used and released on the GUI thread
};
