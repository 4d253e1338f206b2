// The red aiming dot, centred on its position by the caller.
import QtQuick 2.9

Rectangle {
    width: 8
    height: 8
    radius: width / 2
    color: "#ff0000"
    antialiasing: true
}
