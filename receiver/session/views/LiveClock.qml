import QtQuick
import Kelvora.Ui

// The local time of day with milliseconds ("14:03:27.518"), redrawn every frame while visible.
Text {
    id: root
    property real size: 13

    function now() {
        return Qt.formatTime(new Date(), "HH:mm:ss.zzz")
    }

    text: now()
    font.family: Theme.monospaceFontFamily
    font.pixelSize: size
    font.weight: Font.DemiBold
    color: Theme.primaryText

    FrameAnimation {
        running: root.visible
        onTriggered: root.text = root.now()
    }
}
