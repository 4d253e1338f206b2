// The red aiming dot, centred on its position by the caller.
import QtQuick 2.9

Rectangle {
    width: 10
    height: 10
    radius: width / 2
    color: "#ff0000"
    antialiasing: true
}
