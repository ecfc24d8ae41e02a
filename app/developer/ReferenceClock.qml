import QtQuick
import QtQuick.Controls
import Kelvora.Ui

// The computer's clock for the toolbar while the test picture is live: photographed beside a phone showing
// the picture, the difference to the clock in the picture is the glass-to-glass latency.
Rectangle {
    implicitWidth: clockRow.implicitWidth + 24
    implicitHeight: clockRow.implicitHeight + 8
    radius: height / 2
    color: Qt.rgba(Theme.primaryText.r, Theme.primaryText.g, Theme.primaryText.b, 0.06)

    HoverHandler {
        id: clockHover
    }
    ToolTip.visible: clockHover.hovered
    ToolTip.text: "Fotografiere diese Uhr zusammen mit dem iPhone: Die Differenz zur Uhr im Testbild ist die Glas-zu-Glas-Latenz."

    Row {
        id: clockRow
        anchors.centerIn: parent
        spacing: 8
        Text {
            anchors.verticalCenter: parent.verticalCenter
            text: "Uhr Computer"
            font.family: Theme.fontFamily
            font.pixelSize: 11
            font.weight: Font.DemiBold
            color: Theme.secondaryText
        }
        LiveClock {
            size: 17
        }
    }
}
