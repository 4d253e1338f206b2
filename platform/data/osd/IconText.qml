// A text indication in the bar.
import QtQuick 2.9
import "."

Text {
    color: Style.accent
    font.pixelSize: Style.textSize
    font.bold: true
}
