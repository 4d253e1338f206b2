// Colours and sizes shared by the indications.
pragma Singleton
import QtQuick 2.9

QtObject {
    readonly property color accent: "#30e060"
    readonly property int textSize: 22
}
