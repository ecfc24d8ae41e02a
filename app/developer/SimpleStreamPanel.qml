import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer

// The test stream beside the tiers: fixed bitrate, every picture, plain TCP on port 47900.
Card {
    id: root
    property QtObject controller
    readonly property SimpleStreamPanelModel panel: SimpleStreamPanelModel {
        controller: root.controller
    }

    title: "Einfacher H.264-Stream (Test)"
    systemImage: "testtube.2"

    PanelSwitch {
        objectName: "simpleStreamSwitch"
        title: "Zusätzlich senden"
        subtitle: root.panel.caption
        subtitleIsError: root.panel.captionIsError
        on: root.panel.enabled
        onFlipped: value => root.panel.enabled = value
        Layout.fillWidth: true
    }

    RowLayout {
        objectName: "simpleStreamBitrateRow"
        enabled: root.panel.enabled
        spacing: 10
        Layout.fillWidth: true

        Text {
            text: "Bitrate"
            font.family: Theme.fontFamily
            font.pixelSize: 12
            color: parent.enabled ? Theme.primaryText : Theme.secondaryText
        }
        Slider {
            objectName: "simpleStreamSlider"
            from: 1000
            to: 30000
            stepSize: 500
            snapMode: Slider.SnapAlways
            value: root.panel.bitrateKbps
            Layout.fillWidth: true
            onMoved: root.panel.bitrateKbps = Math.floor(value)
        }
        Text {
            objectName: "simpleStreamBitrate"
            text: root.panel.bitrateText
            horizontalAlignment: Text.AlignRight
            font.family: Theme.fontFamily
            font.pixelSize: 12
            font.weight: Font.DemiBold
            color: parent.enabled ? Theme.primaryText : Theme.secondaryText
            Layout.preferredWidth: 90
        }
    }

    Text {
        text: "Auf dem iPhone: Einstellungen → Entwicklermodus → Stream-Feinsteuerung → „Einfacher H.264-Teststream“. Ruckelt auch dieser Stream, liegt es nicht an der Stream-Logik, sondern an Netz oder Gerät."
        wrapMode: Text.WordWrap
        font.family: Theme.fontFamily
        font.pixelSize: 11
        color: Theme.secondaryText
        Layout.fillWidth: true
    }
}
