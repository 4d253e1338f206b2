// Feature layers: the PIP inset's frame and aim mark ("pipSt"), and the leveler ("lvlSt").
import QtQuick 2.9

Item {
    id: menu

    property bool pipSt: false
    property bool lvlSt: false

    // From the reticle and the indications.
    property color reticleColor: "#000000"
    property int pipOffsetX: 0
    property int pipOffsetY: 0
    property int pipZoom: 1

    PipInset {
        visible: menu.pipSt
        aimOffsetX: menu.pipOffsetX
        aimOffsetY: menu.pipOffsetY
        markColor: menu.reticleColor
        zoom: menu.pipZoom
    }

    Leveler {
        visible: menu.lvlSt
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 80
    }
}
