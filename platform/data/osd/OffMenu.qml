// Indication icons. Each "offMenuParams" message sets one icon, {"KEY": ..., "VAL": n}:
// LUM 0..4 (brightness), ZOOM 0..2 (x1, x2, x4), PIP_ZOOM 1..2 (x2, x4), AUTO_NUC_ALRT
// (a NUC is running). The bar shows for a few seconds after each message, as on the sight.
import QtQuick 2.9
import "."

Item {
    id: menu

    property var offMenuParams: ({})

    property int lum: 0
    property int zoom: 0
    property int pipZoom: 1
    property bool pipShown: false
    property bool nucRunning: nucTimer.running

    onOffMenuParamsChanged: {
        var value = offMenuParams.VAL
        switch (offMenuParams.KEY) {
        case "LUM": lum = value; break
        case "ZOOM": zoom = value; break
        case "PIP_ZOOM": pipZoom = value; break
        case "AUTO_NUC_ALRT": nucTimer.restart(); break
        default: return
        }
        shownTimer.restart()
    }

    Timer { id: shownTimer; interval: 4000 }
    Timer { id: nucTimer; interval: 2000 }

    IndicationBar {
        visible: shownTimer.running
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 16
        lum: menu.lum
        zoom: menu.zoom
        pipZoom: menu.pipZoom
        pipShown: menu.pipShown
        nucRunning: menu.nucRunning
    }
}
