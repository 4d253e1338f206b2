// A reticle image drawn in one colour: the image's shape (its alpha) filled with `color`.
import QtQuick 2.9

Item {
    id: reticle

    property string source
    property color color: "#000000"

    Image {
        id: image
        anchors.fill: parent
        // Paths are files on the sight; the image is rasterised at the size it is shown.
        source: reticle.source === "" ? "" : "file://" + reticle.source
        sourceSize.width: reticle.width
        sourceSize.height: reticle.height
        smooth: true
        visible: false
    }

    ShaderEffect {
        anchors.fill: parent
        property variant shape: image
        property color tint: reticle.color
        fragmentShader: "
            varying highp vec2 qt_TexCoord0;
            uniform sampler2D shape;
            uniform lowp vec4 tint;
            uniform lowp float qt_Opacity;
            void main() {
                gl_FragColor = tint * texture2D(shape, qt_TexCoord0).a * qt_Opacity;
            }"
    }
}
