// The leveler: a level line with a centre notch.
import QtQuick 2.9
import "."

Item {
    width: 240
    height: 12

    Rectangle {
        anchors.verticalCenter: parent.verticalCenter
        width: parent.width
        height: 2
        color: Style.accent
    }
    Rectangle {
        anchors.horizontalCenter: parent.horizontalCenter
        width: 2
        height: parent.height
        color: Style.accent
    }
}
