#include "qml_scene.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>
#include <QQmlAbstractUrlInterceptor>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQmlError>
#include <QQmlProperty>
#include <QQuickItem>
#include <QQuickRenderControl>
#include <QQuickWindow>
#include <QTimer>
#include <cstdlib>

#include "attribute.h"
#include "gui_thread.h"

namespace {

constexpr int kDefaultWidth = 1024;
constexpr int kDefaultHeight = 768;

// Paths of the sight ("/opt/us/...") are found under $MRVDC_SYSROOT first on the host.
class SysrootInterceptor : public QQmlAbstractUrlInterceptor {
public:
    QUrl intercept(const QUrl &url, DataType) override {
        const char *root = std::getenv("MRVDC_SYSROOT");
        if (!root || !*root || !url.isLocalFile()) {
            return url;
        }
        QString inside = QString::fromLocal8Bit(root) + url.toLocalFile();
        return QFileInfo::exists(inside) ? QUrl::fromLocalFile(inside) : url;
    }
};

// A value as QML takes it from text: a JSON number, string, boolean or object (an object
// becomes a JavaScript object), else the text itself. A string property gets the text as is.
QVariant qml_value(const std::string &text, int property_type) {
    QString value = QString::fromStdString(text);
    if (property_type == QMetaType::QString) {
        return value;
    }
    QJsonParseError error{};
    QJsonDocument wrapped = QJsonDocument::fromJson(("[" + value + "]").toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || wrapped.array().size() != 1) {
        return value;
    }
    return wrapped.array().at(0).toVariant();
}

std::string describe(const QList<QQmlError> &errors) {
    QStringList lines;
    for (const QQmlError &error : errors) {
        lines << error.toString();
    }
    return lines.join("; ").toStdString();
}

}  // namespace

class QmlScene::Renderer {
public:
    Renderer(const QString &document, Listener listener);
    ~Renderer();

    void load();
    void apply(const std::string &text);

private:
    void start_rendering();
    void render();
    void warn(const std::string &message) { listener_.warning(message); }

    Listener listener_;
    QUrl document_;
    std::unique_ptr<QOpenGLContext> context_;
    std::unique_ptr<QOffscreenSurface> surface_;
    std::unique_ptr<QQuickRenderControl> control_;
    std::unique_ptr<QQuickWindow> window_;
    SysrootInterceptor interceptor_;
    std::unique_ptr<QQmlEngine> engine_;
    std::unique_ptr<QQmlComponent> component_;
    std::unique_ptr<QQuickItem> root_;
    std::unique_ptr<QOpenGLFramebufferObject> target_;
    QTimer render_timer_;  // coalesces the changes of one pass of the event loop
};

QmlScene::Renderer::Renderer(const QString &document, Listener listener)
    : listener_(std::move(listener)), document_(QUrl::fromLocalFile(document)) {
    context_ = std::make_unique<QOpenGLContext>();
    surface_ = std::make_unique<QOffscreenSurface>();
    control_ = std::make_unique<QQuickRenderControl>();
    window_ = std::make_unique<QQuickWindow>(control_.get());
    window_->setColor(Qt::transparent);  // only what the document draws covers the video
    engine_ = std::make_unique<QQmlEngine>();
    engine_->setOutputWarningsToStandardError(false);
    engine_->setUrlInterceptor(&interceptor_);
    if (!engine_->incubationController()) {
        engine_->setIncubationController(window_->incubationController());
    }
    QObject::connect(engine_.get(), &QQmlEngine::warnings,
                     [this](const QList<QQmlError> &warnings) { warn(describe(warnings)); });
    render_timer_.setSingleShot(true);
    render_timer_.setInterval(0);
    QObject::connect(&render_timer_, &QTimer::timeout, [this] { render(); });
}

QmlScene::Renderer::~Renderer() {
    if (context_->isValid() && surface_->isValid()) {
        context_->makeCurrent(surface_.get());
    }
    root_.reset();
    component_.reset();
    control_.reset();
    target_.reset();
    if (context_->isValid()) {
        context_->doneCurrent();
    }
    surface_.reset();
    context_.reset();
    engine_.reset();
    window_.reset();
}

void QmlScene::Renderer::load() {
    component_ =
        std::make_unique<QQmlComponent>(engine_.get(), document_, QQmlComponent::PreferSynchronous);
    if (component_->isError()) {
        warn("cannot load the overlay document: " + describe(component_->errors()));
        return;
    }
    std::unique_ptr<QObject> created(component_->create());
    if (!created) {
        warn("cannot create the overlay scene: " + describe(component_->errors()));
        return;
    }
    auto *item = qobject_cast<QQuickItem *>(created.get());
    if (!item) {
        warn("the overlay document's root object is not an Item");
        return;
    }
    created.release();
    root_.reset(item);
    start_rendering();
}

void QmlScene::Renderer::start_rendering() {
    int width = root_->width() > 0 ? static_cast<int>(root_->width()) : kDefaultWidth;
    int height = root_->height() > 0 ? static_cast<int>(root_->height()) : kDefaultHeight;
    root_->setParentItem(window_->contentItem());
    window_->setGeometry(0, 0, width, height);
    window_->contentItem()->setSize(QSizeF(width, height));

    QSurfaceFormat format;
    format.setAlphaBufferSize(8);
    format.setDepthBufferSize(16);
    format.setStencilBufferSize(8);
    context_->setFormat(format);
    surface_->setFormat(format);
    surface_->create();
    if (!context_->create() || !context_->makeCurrent(surface_.get())) {
        warn("no OpenGL context for the overlay: nothing is drawn");
        return;
    }
    control_->initialize(context_.get());
    target_ = std::make_unique<QOpenGLFramebufferObject>(
        QSize(width, height), QOpenGLFramebufferObject::CombinedDepthStencil);
    window_->setRenderTarget(target_.get());

    QObject::connect(control_.get(), &QQuickRenderControl::renderRequested,
                     [this] { render_timer_.start(); });
    QObject::connect(control_.get(), &QQuickRenderControl::sceneChanged,
                     [this] { render_timer_.start(); });
    render_timer_.start();
}

void QmlScene::Renderer::render() {
    if (!target_ || !context_->makeCurrent(surface_.get())) {
        return;
    }
    control_->polishItems();
    control_->sync();
    control_->render();
    window_->resetOpenGLState();
    context_->functions()->glFinish();
    QImage image = target_->toImage().convertToFormat(QImage::Format_RGBA8888_Premultiplied);
    std::vector<uint8_t> pixels(static_cast<size_t>(image.width()) * image.height() * 4);
    for (int y = 0; y < image.height(); y++) {
        std::copy_n(image.constScanLine(y), image.width() * 4,
                    &pixels[static_cast<size_t>(y) * image.width() * 4]);
    }
    listener_.rendered(
        std::make_shared<const OverlayImage>(image.width(), image.height(), std::move(pixels)));
}

void QmlScene::Renderer::apply(const std::string &text) {
    std::optional<Attribute> attribute = parse_attribute(text);
    if (!attribute) {
        warn("\"" + text + "\" is not of the form Object.property:value");
        return;
    }
    if (!root_) {
        warn("no overlay scene to set \"" + text + "\" in");
        return;
    }
    QString name = QString::fromStdString(attribute->object);
    QObject *object = root_->objectName() == name ? root_.get() : root_->findChild<QObject *>(name);
    if (!object) {
        warn("the overlay has no object \"" + attribute->object + "\"");
        return;
    }
    QQmlProperty property(object, QString::fromStdString(attribute->property));
    if (!property.isValid() || property.type() != QQmlProperty::Property ||
        !property.isWritable()) {
        warn("the overlay object \"" + attribute->object + "\" has no writable property \"" +
             attribute->property + "\"");
        return;
    }
    if (!property.write(qml_value(attribute->value, property.propertyType()))) {
        warn("the overlay property " + attribute->object + "." + attribute->property +
             " does not take the value " + attribute->value);
    }
}

// `renderer_` is only touched on the GUI thread, by tasks that run in the order they were
// queued: made, then given attributes, then released.
QmlScene::QmlScene(const std::string &document, Listener listener) {
    QString path = QString::fromStdString(document);
    gui_thread::post([this, path, listener = std::move(listener)] {
        renderer_ = std::make_unique<Renderer>(path, listener);
        renderer_->load();
    });
}

QmlScene::~QmlScene() {
    if (!gui_thread::run([this] { renderer_.reset(); })) {
        // The GUI thread is lost: the renderer's Qt objects stay with it, untouched. Released
        // here they would be used from a thread that is not theirs, on a dead X connection.
        static_cast<void>(renderer_.release());
    }
}

void QmlScene::set_attribute(const std::string &text) {
    gui_thread::post([this, text] { renderer_->apply(text); });
}
