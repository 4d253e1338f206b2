// Frame around the camera core's PIP inset (160 x 120 core pixels at the top centre, 8 core
// pixels down, 1.6 display pixels each) with the aim mark moved by the PIP reticle offset.
import QtQuick 2.9
import "."

Item {
    id: inset

    property int aimOffsetX: 0
    property int aimOffsetY: 0
    property color markColor: "#000000"
    property int zoom: 1 // PIP_ZOOM: 1 x2, 2 x4

    x: 240 * 1.6
    y: 8 * 1.6
    width: 160 * 1.6
    height: 120 * 1.6

    Rectangle {
        anchors.fill: parent
        anchors.margins: -3
        color: "transparent"
        border.color: Style.accent
        border.width: 2
    }

    Item {
        x: inset.width / 2 + inset.aimOffsetX
        y: inset.height / 2 + inset.aimOffsetY
        Rectangle { x: -12; y: -1; width: 24; height: 2; color: inset.markColor }
        Rectangle { x: -1; y: -12; width: 2; height: 24; color: inset.markColor }
    }

    Text {
        anchors.top: parent.bottom
        anchors.topMargin: 6
        anchors.left: parent.left
        text: inset.zoom === 2 ? "PIP x4" : "PIP x2"
        color: Style.accent
        font.pixelSize: Style.textSize
        font.bold: true
    }
}
