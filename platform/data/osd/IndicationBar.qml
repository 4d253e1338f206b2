// The indication bar at the bottom of the picture: brightness level, zoom, PIP zoom, NUC.
import QtQuick 2.9
import "."

Rectangle {
    id: bar

    property int lum: 0
    property int zoom: 0
    property int pipZoom: 1
    property bool pipShown: false
    property bool nucRunning: false

    width: icons.width + 32
    height: 44
    radius: 6
    color: "#a0101010"
    border.color: Style.accent
    border.width: 2

    Row {
        id: icons
        anchors.centerIn: parent
        spacing: 20

        BrightnessIcon { level: bar.lum; anchors.verticalCenter: parent.verticalCenter }
        IconText { text: ["x1", "x2", "x4"][bar.zoom] || "" }
        IconText { visible: bar.pipShown; text: bar.pipZoom === 2 ? "PIP x4" : "PIP x2" }
        IconText { visible: bar.nucRunning; text: "NUC" }
    }
}
