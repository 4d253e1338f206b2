// Five rising bars, filled up to the brightness level (0..4).
import QtQuick 2.9
import "."

Row {
    property int level: 0

    spacing: 3

    Repeater {
        model: 5
        Rectangle {
            anchors.bottom: parent.bottom
            width: 6
            height: 8 + 4 * index
            color: index <= level ? Style.accent : "transparent"
            border.color: Style.accent
            border.width: 1
        }
    }
}
