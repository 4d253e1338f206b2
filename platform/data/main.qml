// Overlay document of the host platform. The host overlay element draws this scene itself
// (reticle, red dot, indications, PIP marker, leveler); this document declares the objects and
// properties the daemon sets through "qml-attribute", with the keys each one understands, so
// that it can also be loaded by a QML overlay.
import QtQuick 2.0

Item {
    id: root
    width: 1024
    height: 768

    // Reticle profile: one JSON object per message with any of the keys
    // STATE, X, Y, RD_X, RD_Y, WIDTH, HEIGHT, Z_OFFSET_X, Z_OFFSET_Y, COLOR_HEX, BRIGHT_VAL,
    // SRC, RD_STATE.
    Item {
        id: reticleMenu
        objectName: "ReticleMenu"
        anchors.fill: parent
        property string retProfParam: "{}"
        property var profile: ({ STATE: 1, X: 327, Y: 199, RD_X: 512, RD_Y: 384, WIDTH: 370,
                                 HEIGHT: 370, Z_OFFSET_X: 0, Z_OFFSET_Y: 0,
                                 COLOR_HEX: "#000000", BRIGHT_VAL: "1.0", SRC: "",
                                 RD_STATE: 0 })
        onRetProfParamChanged: {
            var changes = JSON.parse(retProfParam)
            var next = Object.assign({}, profile)
            for (var key in changes)
                next[key] = changes[key]
            profile = next
        }

        Image {
            id: reticle
            visible: reticleMenu.profile.STATE !== 0
            x: reticleMenu.profile.X
            y: reticleMenu.profile.Y
            width: reticleMenu.profile.WIDTH
            height: reticleMenu.profile.HEIGHT
            source: reticleMenu.profile.SRC ? "file://" + reticleMenu.profile.SRC : ""
            opacity: parseFloat(reticleMenu.profile.BRIGHT_VAL)
            layer.enabled: true
            layer.effect: ShaderEffect {
                property color tint: reticleMenu.profile.COLOR_HEX
                fragmentShader: "
                    varying highp vec2 qt_TexCoord0;
                    uniform sampler2D source;
                    uniform lowp vec4 tint;
                    uniform lowp float qt_Opacity;
                    void main() {
                        gl_FragColor = tint * texture2D(source, qt_TexCoord0).a * qt_Opacity;
                    }"
            }
        }

        Rectangle {
            id: redDot
            visible: reticleMenu.profile.RD_STATE === 1
            width: 8
            height: 8
            radius: 4
            color: "#ff0000"
            x: reticleMenu.profile.RD_X - width / 2
            y: reticleMenu.profile.RD_Y - height / 2
        }
    }

    // Indication icons: {"KEY": "LUM" (VAL 0..4), "AUTO_NUC_ALRT" (VAL 0), "ZOOM" (VAL 0..2:
    // x1, x2, x4), "PIP_ZOOM" (VAL 1..2: x2, x4), "VAL": n}.
    Item {
        id: offMenu
        objectName: "OffMenu"
        anchors.fill: parent
        property string offMenuParams: "{}"
        property int lum: 0
        property int zoom: 0
        property int pipZoom: 1
        onOffMenuParamsChanged: {
            var icon = JSON.parse(offMenuParams)
            if (icon.KEY === "LUM") lum = icon.VAL
            else if (icon.KEY === "ZOOM") zoom = icon.VAL
            else if (icon.KEY === "PIP_ZOOM") pipZoom = icon.VAL
            else if (icon.KEY === "AUTO_NUC_ALRT") nucTimer.restart()
        }

        Text {
            anchors.right: parent.right
            anchors.top: parent.top
            anchors.margins: 16
            color: "#ebebeb"
            font.bold: true
            font.pixelSize: 22
            text: ["x1", "x2", "x4"][offMenu.zoom]
        }
        Text {
            visible: nucTimer.running
            anchors.left: parent.left
            anchors.top: parent.top
            anchors.margins: 16
            color: "#ebebeb"
            font.bold: true
            font.pixelSize: 22
            text: "NUC"
        }
        Row {
            anchors.left: parent.left
            anchors.bottom: parent.bottom
            anchors.margins: 20
            spacing: 4
            Repeater {
                model: 5
                Rectangle {
                    width: 8
                    height: 6 + 4 * index
                    anchors.bottom: parent.bottom
                    color: index <= offMenu.lum ? "#ebebeb" : "transparent"
                    border.color: "#ebebeb"
                }
            }
        }
        Timer { id: nucTimer; interval: 2000 }
    }

    // Feature flags: "pipSt" shows the PIP marker, "lvlSt" the leveler; "1" or "0".
    Item {
        id: ftrMenu
        objectName: "FtrMenu"
        anchors.fill: parent
        property string pipSt: "0"
        property string lvlSt: "0"

        Rectangle {
            visible: ftrMenu.pipSt === "1"
            x: 381; y: 10; width: 262; height: 198
            color: "transparent"
            border.color: "#ebebeb"
            border.width: 2
        }
        Rectangle {
            visible: ftrMenu.lvlSt === "1"
            x: 412; y: 715; width: 200; height: 2
            color: "#ebebeb"
        }
    }
}
