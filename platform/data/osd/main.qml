// The sight's on-screen display, drawn over the 1024 x 768 eyepiece picture. The daemon drives
// it only through properties of three named objects:
//   ReticleMenu.retProfParam  reticle, red dot and their PIP offset (one JSON group per message)
//   OffMenu.offMenuParams     one indication icon per message: {"KEY": ..., "VAL": n}
//   FtrMenu.pipSt, lvlSt      PIP inset and leveler shown (1) or hidden (0)
import QtQuick 2.9

Item {
    id: osd
    width: 1024
    height: 768

    ReticleMenu {
        id: reticleMenu
        objectName: "ReticleMenu"
        anchors.fill: parent
    }

    FtrMenu {
        id: ftrMenu
        objectName: "FtrMenu"
        anchors.fill: parent
        reticleColor: reticleMenu.reticleColor
        pipOffsetX: reticleMenu.pipOffsetX
        pipOffsetY: reticleMenu.pipOffsetY
        pipZoom: offMenu.pipZoom
    }

    OffMenu {
        id: offMenu
        objectName: "OffMenu"
        anchors.fill: parent
        pipShown: ftrMenu.pipSt
    }
}
