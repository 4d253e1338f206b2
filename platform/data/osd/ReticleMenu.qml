// Reticle and red dot. Each "retProfParam" message carries some of the keys below; a key that a
// message leaves out keeps its last value.
import QtQuick 2.9

Item {
    id: menu

    property var retProfParam: ({})

    property bool reticleShown: true        // STATE
    property real reticleX: 512             // X, Y: top left of the reticle image
    property real reticleY: 384
    property real reticleWidth: 370         // WIDTH, HEIGHT
    property real reticleHeight: 370
    property string reticleSource: ""       // SRC: image path on the sight
    property color reticleColor: "#000000"  // COLOR_HEX
    property string reticleOpacity: "1.0"   // BRIGHT_VAL, 0..1 as text
    property bool redDotShown: false        // RD_STATE
    property real redDotX: 697              // RD_X, RD_Y: centre of the red dot
    property real redDotY: 569
    property int pipOffsetX: 0              // Z_OFFSET_X, Z_OFFSET_Y
    property int pipOffsetY: 0

    // Message key -> property it sets.
    readonly property var keyProperties: ({
        "STATE": "reticleShown", "X": "reticleX", "Y": "reticleY",
        "WIDTH": "reticleWidth", "HEIGHT": "reticleHeight", "SRC": "reticleSource",
        "COLOR_HEX": "reticleColor", "BRIGHT_VAL": "reticleOpacity",
        "RD_STATE": "redDotShown", "RD_X": "redDotX", "RD_Y": "redDotY",
        "Z_OFFSET_X": "pipOffsetX", "Z_OFFSET_Y": "pipOffsetY"
    })

    onRetProfParamChanged: {
        for (var key in retProfParam) {
            if (keyProperties.hasOwnProperty(key))
                menu[keyProperties[key]] = retProfParam[key]
        }
    }

    Reticle {
        visible: menu.reticleShown && menu.reticleSource !== ""
        x: menu.reticleX
        y: menu.reticleY
        width: menu.reticleWidth
        height: menu.reticleHeight
        source: menu.reticleSource
        color: menu.reticleColor
        opacity: Number(menu.reticleOpacity)
    }

    RedDot {
        visible: menu.redDotShown
        x: menu.redDotX - width / 2
        y: menu.redDotY - height / 2
    }
}
